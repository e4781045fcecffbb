// The simulated SuperLink program (tests/peers/superlink_program.py) on a
// folder, for the driver's and the network type's tests.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "modbus_peers.h"

namespace sltest {

class Program {
public:
    Program(const std::string &folder, int network, const std::string &script, const std::string &record)
        : record_(record)
    {
        const std::string script_path = record + ".script.json";
        if (FILE *f = std::fopen(script_path.c_str(), "w")) {
            std::fputs(script.c_str(), f);
            std::fclose(f);
        }
        child_ = std::make_unique<mbtest::Child>(
            std::vector<std::string>{"/usr/bin/python3", mbtest::peer_script("superlink_program.py"), "--folder",
                                     folder, "--network", std::to_string(network), "--script", script_path,
                                     "--record", record},
            false);
        ready_ = child_->read_line(15000) == "READY";
    }
    bool ready() const { return ready_; }
    void kill() { child_->kill(); }

    // The request files received, one line each: their lines joined by " | ".
    std::string requests() const
    {
        const std::string cmd = "/usr/bin/python3 -c 'import json,sys\n"
                                "for f in json.load(open(sys.argv[1]))[\"files\"]:\n"
                                "    print(\" | \".join(l[\"raw\"] for l in f[\"lines\"]))\n' " +
                                record_;
        std::string out;
        if (FILE *p = ::popen(cmd.c_str(), "r")) {
            char buf[4096];
            while (std::fgets(buf, sizeof buf, p))
                out += buf;
            ::pclose(p);
        }
        return out;
    }

private:
    std::string record_;
    std::unique_ptr<mbtest::Child> child_;
    bool ready_ = false;
};

} // namespace sltest
