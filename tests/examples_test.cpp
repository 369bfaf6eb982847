// The project's own display lists are what it tells owners to write: each
// must pass marquell-check with no warning and no note. They are taken from
// where owners read them: the example files, the README's examples, and the
// files the Ansible role writes from its example inventory.
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

// The value of "key: value" on a line, without quotes; empty when the line
// is not that key's.
std::string Value(const std::string& line, const std::string& key) {
    size_t at = line.find_first_not_of(" -");
    if (at == std::string::npos || line.compare(at, key.size() + 1, key + ":") != 0) {
        return "";
    }
    std::string v = line.substr(at + key.size() + 1);
    v.erase(0, v.find_first_not_of(' '));
    return v.size() >= 2 && v.front() == '"' ? v.substr(1, v.size() - 2) : v;
}

// The double-quoted strings of a YAML flow list or of one "- ..." item.
std::vector<std::string> Quoted(const std::string& text) {
    std::vector<std::string> items;
    for (size_t open = text.find('"'); open != std::string::npos;) {
        size_t close = text.find('"', open + 1);
        items.push_back(text.substr(open + 1, close - open - 1));
        open = text.find('"', close + 1);
    }
    return items;
}

struct Display {
    std::string port;
    std::string contrast;
    bool attention = false;
    std::vector<std::string> rows;
};

// The file the role writes from a host's displays, as its template
// (contrib/ansible/roles/marquell/templates/marquell.ini.j2) lays it out.
std::string RoleFile(const std::string& rate, const std::vector<Display>& displays) {
    std::string ini =
        "# WRITTEN BY ANSIBLE FROM THE INVENTORY: EDIT THE TEXTS THERE.\nbaudrate=" + rate + "\n";
    for (const Display& d : displays) {
        ini += "\nlcd=" + d.port + "\n";
        ini += !d.contrast.empty() ? "cmd_contrast=" + d.contrast + "\n"
               : d.attention       ? "cmd_attention=1\n"
                                   : "";
        for (size_t r = 0; r < 4; ++r) {
            ini += "line" + std::to_string(r + 1) + "=\"" + (r < d.rows.size() ? d.rows[r] : "") +
                   "\"\n";
        }
    }
    return ini;
}

// The files of the example inventory's hosts that list their displays: its
// subset of YAML is the one the example writes.
std::vector<Example> InventoryExamples() {
    std::string inventory = ReadFile(std::string(kTop) + "/contrib/ansible/inventory.example.yml");
    std::vector<Example> found;
    std::string rate;
    std::vector<Display> displays;
    bool in_displays = false;
    bool in_rows = false;
    auto flush = [&] {
        if (!displays.empty()) {
            found.push_back({"the example inventory's host " + std::to_string(found.size() + 1),
                             RoleFile(rate, displays)});
        }
        displays.clear();
    };
    size_t start = 0;
    while (start < inventory.size()) {
        size_t end = inventory.find('\n', start);
        std::string line = inventory.substr(start, end - start);
        start = end == std::string::npos ? inventory.size() : end + 1;
        if (!Value(line, "marquell_rate").empty()) {
            rate = Value(line, "marquell_rate");
        }
        if (line.find("marquell_displays:") != std::string::npos) {
            flush();
            in_displays = true;
        } else if (in_displays && !Value(line, "port").empty() &&
                   line.find("- port:") != std::string::npos) {
            displays.emplace_back();
            displays.back().port = Value(line, "port");
            in_rows = false;
        } else if (in_displays && !displays.empty() && !Value(line, "contrast").empty()) {
            displays.back().contrast = Value(line, "contrast");
        } else if (in_displays && !displays.empty() && Value(line, "attention") == "true") {
            displays.back().attention = true;
        } else if (in_displays && !displays.empty() && line.find("rows:") != std::string::npos) {
            displays.back().rows = Quoted(line.substr(line.find("rows:")));
            in_rows = displays.back().rows.empty();
        } else if (in_rows && line.find("- \"") != std::string::npos) {
            displays.back().rows.push_back(Quoted(line)[0]);
        } else if (in_displays && line.find_first_not_of(' ') != std::string::npos &&
                   line.find_first_not_of(' ') <= 6 && line.find("- ") == std::string::npos) {
            in_displays = false;
            in_rows = false;
        }
    }
    flush();
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

TEST(ProjectExamples, TheRolesFilesFromTheExampleInventoryCheckCleanWithNoNote) {
    std::vector<Example> examples = InventoryExamples();
    ASSERT_EQ(1u, examples.size()) << "the example inventory lists displays for one host";
    EXPECT_NE(std::string::npos, examples[0].text.find("lcd=40\n")) << examples[0].text;
    for (const Example& e : examples) {
        ExpectClean(e);
    }
}

}  // namespace
