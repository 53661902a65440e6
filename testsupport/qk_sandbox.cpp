// SPDX-License-Identifier: MIT
// qk-sandbox: runs a command in the same throw-away sandbox the tests use,
// for the demo and for timing whole processes.
//
//   qk-sandbox [--net] [--bind HOST:INSIDE]... [--dev NODE]... -- COMMAND [ARG]...
#include "sandbox.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    SandboxSpec spec;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        std::string arg = argv[i];
        if (arg == "--net") {
            spec.network = true;
        } else if (arg == "--bind" && i + 1 < argc) {
            std::string value = argv[++i];
            size_t colon = value.find(':');
            if (colon == std::string::npos) {
                fprintf(stderr, "qk-sandbox: --bind wants HOST:INSIDE\n");
                return 2;
            }
            spec.binds.emplace_back(value.substr(0, colon), value.substr(colon + 1));
        } else if (arg == "--dev" && i + 1 < argc) {
            spec.dev_nodes.emplace_back(argv[++i]);
        } else {
            fprintf(stderr, "usage: qk-sandbox [--net] [--bind HOST:INSIDE]... [--dev NODE]... -- COMMAND [ARG]...\n");
            return 2;
        }
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "qk-sandbox: no command\n");
        return 2;
    }
    std::vector<std::string> command(argv + i + 1, argv + argc);
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"};
    if (const char *term = getenv("TERM"))
        env.push_back(std::string("TERM=") + term);

    SandboxResult r = run_program_in_sandbox(spec, command, env, 3600 * 1000);
    if (r.skipped) {
        fprintf(stderr, "qk-sandbox: cannot make a sandbox here: %s\n", r.skip_reason.c_str());
        if (std::string remedy = sandbox_remedy(r.skip_reason); !remedy.empty())
            fprintf(stderr, "qk-sandbox: what to do: %s\n", remedy.c_str());
        return 77;
    }
    fwrite(r.proc.out.data(), 1, r.proc.out.size(), stdout);
    fwrite(r.proc.err.data(), 1, r.proc.err.size(), stderr);
    if (r.proc.signal != 0) {
        fprintf(stderr, "qk-sandbox: %s ended by signal %d\n", command[0].c_str(), r.proc.signal);
        return 128 + r.proc.signal;
    }
    return r.proc.status;
}
