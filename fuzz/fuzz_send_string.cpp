// Arbitrary row text through SendString into a pipe that stands for the port.
// The bytes that come out must be exactly the text's bytes 1..127 as they
// are, each of the six letter bytes as a whole escape 30, 1, code, and
// nothing for any other byte; no byte may be refused by the sink.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial.h"
#include "silence.h"

namespace {

// Every byte can become three; the pipe is made big enough for the longest
// input so the sink never fills.
const size_t kMaxText = 65536;
const int kPipeSize = 1 << 20;

int sink = -1;

// The display's codes for the six letter bytes, side by side.
const unsigned char kLetter[] = {0x85, 0x86, 0x98, 0xA5, 0xA6, 0xB8};
const unsigned char kCode[] = {0xAE, 0xBC, 0xAB, 0xAF, 0xBD, 0xAC};

unsigned char Glyph(unsigned char b) {
    const void* at = b == 0 ? nullptr : memchr(kLetter, b, sizeof kLetter);
    return at == nullptr ? 0 : kCode[static_cast<const unsigned char*>(at) - kLetter];
}

std::string Expected(const char* text) {
    std::string wire;
    for (const char* p = text; *p != '\0'; ++p) {
        auto b = static_cast<unsigned char>(*p);
        if (Glyph(b) != 0) {
            wire += '\x1e';
            wire += '\x01';
            wire += static_cast<char>(Glyph(b));
        } else if (b < 0x80) {
            wire += static_cast<char>(b);
        }
    }
    return wire;
}

std::string Drain() {
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = read(sink, buf, sizeof buf)) > 0) {
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    SilenceStdout();
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0 || fcntl(fds[1], F_SETPIPE_SZ, kPipeSize) < 0) {
        abort();
    }
    sink = fds[0];
    handle = fds[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxText) {
        return 0;
    }
    char* text = static_cast<char*>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';
    SendString(text);
    if (Drain() != Expected(text)) {
        abort();
    }
    free(text);
    return 0;
}
