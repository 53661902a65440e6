// SPDX-License-Identifier: MIT
// The report a sandbox body passes back out: "key value" lines on standard
// output, the values escaped so that each stays one line, read back into a
// map by the test.
#include "sandbox.h"

#include <cstdio>
#include <sstream>

namespace {

std::string escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[i + 1] == 'n' ? '\n' : s[i + 1];
            i++;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

void put(const std::string &key, const std::string &value)
{
    printf("%s %s\n", key.c_str(), escape(value).c_str());
    fflush(stdout);
}

Report parse_report(const std::string &text)
{
    Report report;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t space = line.find(' ');
        if (space != std::string::npos)
            report[line.substr(0, space)] = unescape(line.substr(space + 1));
    }
    return report;
}
