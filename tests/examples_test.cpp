// The project's own display lists are what it tells owners to write: each
// file must pass marquell-check with no warning and no note. (Whether the
// ports it names are on the machine that checks it is that machine's
// matter, noted there and never a warning.) They are taken from
// where owners read them: the example files and the README's examples. (The
// files the Ansible role writes from its example inventory are written by
// the role itself and judged the same way in tools/ansible-check.sh.)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "check.h"
#include "program_run.h"
#include "support.h"

namespace {

const char kTop[] = MARQUELL_SOURCE_DIR;

struct Example {
    std::string where;
    std::string text;
};

std::string Remarks(const CheckResult& r) {
    std::string all;
    for (const Warning& w : r.warnings) {
        all +=
            std::to_string(w.line) + ":" + std::to_string(w.column) + ": warning: " + w.text + "\n";
    }
    for (const Warning& n : r.notes) {
        all += std::to_string(n.line) + ":" + std::to_string(n.column) + ": note: " + n.text + "\n";
    }
    return all;
}

void ExpectClean(const Example& e) {
    WorkDir dir;
    dir.Write("marquell.ini", e.text);
    CheckResult r;
    ASSERT_TRUE(CheckFile((dir.path() + "/marquell.ini").c_str(), 20, &r)) << e.where;
    EXPECT_EQ("", Remarks(r)) << e.where << ":\n" << e.text;
    EXPECT_FALSE(r.displays.empty()) << e.where;
}

// Every fenced block of the README that is a display list.
std::vector<Example> ReadmeExamples() {
    std::string readme = ReadFile(std::string(kTop) + "/README.md");
    std::vector<Example> found;
    for (size_t open = readme.find("\n```"); open != std::string::npos;) {
        size_t body = readme.find('\n', open + 1) + 1;
        size_t close = readme.find("\n```", body - 1);
        if (close == std::string::npos) {
            break;
        }
        std::string block = readme.substr(body, close + 1 - body);
        if (block.compare(0, 9, "baudrate=") == 0) {
            found.push_back({"README.md, the block at byte " + std::to_string(body), block});
        }
        open = readme.find("\n```", close + 4);
    }
    return found;
}

TEST(ProjectExamples, TheExampleFilesCheckCleanWithNoNote) {
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(kTop) + "/examples")) {
        ExpectClean({entry.path().string(), ReadFile(entry.path().string())});
        ++checked;
    }
    ExpectClean(
        {"packaging/marquell.ini", ReadFile(std::string(kTop) + "/packaging/marquell.ini")});
    EXPECT_GE(checked, 1) << "no example file was found";
}

TEST(ProjectExamples, TheReadmesDisplayListsCheckCleanWithNoNote) {
    std::vector<Example> examples = ReadmeExamples();
    EXPECT_GE(examples.size(), 2u) << "the README's examples were not found";
    for (const Example& e : examples) {
        ExpectClean(e);
    }
}

}  // namespace
