// SPDX-License-Identifier: MIT
// Fuzzes the parse of one configuration file: the bytes of a file in, the
// binding out, checked against a second, deliberately plain implementation of
// the same rules on std::string.  Any difference aborts.
#include "cfgscan.h"

#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

std::string rtrim(std::string s)
{
    while (!s.empty() && g_ascii_isspace(s.back()))
        s.pop_back();
    return s;
}

std::string trim(std::string s)
{
    s = rtrim(s);
    size_t start = 0;
    while (start < s.size() && g_ascii_isspace(s[start]))
        start++;
    return s.substr(start);
}

std::string clean(std::string v)
{
    for (size_t i = 1; i < v.size(); i++) {
        if (v[i] == '#' && (v[i - 1] == ' ' || v[i - 1] == '\t')) {
            v.resize(i);
            break;
        }
    }
    v = rtrim(v);
    if (!v.empty() && (v[0] == '\'' || v[0] == '"') && v.back() == v[0]) {
        v.pop_back();
        if (!v.empty())
            v.erase(0, 1);
    }
    return v;
}

struct Binding {
    std::string hwaddr, device;
};

std::optional<Binding> reference(const std::string &text)
{
    std::optional<std::string> device, hwaddr;
    bool vlan = false;
    size_t pos = 0;
    if (text.empty())
        return std::nullopt;
    for (;;) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (line.rfind("DEVICE=", 0) == 0) {
            std::string v = clean(line.substr(7));
            device = v.find(':') == std::string::npos ? std::optional<std::string>(v) : std::nullopt;
        }
        if (line.rfind("HWADDR=", 0) == 0)
            hwaddr = clean(line.substr(7));
        if (line.rfind("VLAN=yes", 0) == 0)
            vlan = true;
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    if (!device || !hwaddr || vlan)
        return std::nullopt;
    return Binding{trim(*hwaddr), trim(*device)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The scan reads a file as a C string: it ends at the first NUL.
    std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    CfgEntry *entry = cfg_parse_text(text.c_str());
    std::optional<Binding> expected = reference(text);

    if (entry == nullptr) {
        if (expected)
            abort();
        return 0;
    }
    if (!expected || expected->device != entry->device || expected->hwaddr != entry->hwaddr)
        abort();
    if (strchr(entry->device, ':') != nullptr || entry->next != nullptr)
        abort();
    g_free(entry->hwaddr);
    g_free(entry->device);
    free(entry);
    return 0;
}
