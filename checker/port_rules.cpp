#include "port_rules.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>

#include "console_port.h"

void CheckPortUses(const char* root, CheckResult* result) {
    std::set<int> seen;
    for (const DisplayCheck& d : result->displays) {
        if (!seen.insert(d.entry.LCD_number).second) {
            continue;
        }
        std::string port = "/dev/ttyS" + std::to_string(d.entry.LCD_number);
        struct stat st {};
        // Follows a udev link to the adapter it names; opens nothing.
        if (stat((root + port).c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            continue;
        }
        char shared[256];
        if (DescribePortUse(FindPortUse(root, st.st_rdev, true), shared, sizeof shared)) {
            result->warnings.push_back(Warning{std::max(d.lcd_line, 1), std::max(d.lcd_column, 1),
                                               port + " is " + shared});
        }
    }
    std::stable_sort(result->warnings.begin(), result->warnings.end(),
                     [](const Warning& a, const Warning& b) {
                         return a.line != b.line ? a.line < b.line : a.column < b.column;
                     });
}
