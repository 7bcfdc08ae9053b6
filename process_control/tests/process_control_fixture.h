// Test fixture: a process-control case in a machine root of its own, with the stand-in program
// started under the image name the case needs.
#pragma once
#include "worker/tests/program_harness.h"

#include "common/log.h"

class ProcessControl : public harness::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        setLog("ProcessControlTest");
    }
    // Starts the stand-in as name in mode ("listen": it serves its channel; "deaf": it does not)
    // and waits until it is up.
    HANDLE startStandin(const std::string& name, const std::string& mode) {
        install(KVLB_STANDIN, name);
        standinMode(name, mode);
        HANDLE p = start(name, "");
        EXPECT_TRUE(
            harness::pollUntil([&] { return eventsHave(name, mode == "listen" ? "ready" : "run "); }));
        return p;
    }
};
