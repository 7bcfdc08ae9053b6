// Start-up and shutdown of the real program: port selection, the crash note, the certificate
// chosen by the Windows version, and the three ways the service is told to end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/system.h"
#include "service_harness.h"

namespace svc {
namespace {

class ServiceStartup : public ServiceTest {
  protected:
    std::vector<int> listeners;
    void TearDown() override {
        ServiceTest::TearDown();
        for (int fd : listeners) close(fd);
    }
    void takePort(int port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd, (sockaddr*)&a, sizeof a), 0) << port;
        ASSERT_EQ(listen(fd, 4), 0);
        listeners.push_back(fd);
    }
    void stop() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

TEST_F(ServiceStartup, TakenPortIsSkipped) {
    takePort(kPort1);
    start();
    EXPECT_TRUE(logHas("Detect port 56462 state: In use, try next port"));
    for (int port : {kPort2, kPort3}) {
        PostOptions o;
        o.port = port;
        EXPECT_EQ(post(json(opening("TessarionEcho")), o).get("result"), "0") << port;
    }
    EXPECT_TRUE(logHas("KVLBTessarion initialization: Success"));
}

TEST_F(ServiceStartup, NoFreePortEndsWithZero) {
    for (int port : {kPort1, kPort2, kPort3}) takePort(port);
    start();
    EXPECT_EQ(waitExit(), 0);
    EXPECT_TRUE(logHas("KVLBTessarion initialization: Fail"));
    EXPECT_TRUE(logHas("Releasing cert"));
}

TEST_F(ServiceStartup, StartEmptiesTheSessionFoldersAndWritesTheVersionFile) {
    fs::create_directories(dataFolder() + "/Tempfile/Session_5");
    std::ofstream(sessionCopy(5)) << "left by an earlier run";
    std::ofstream(dataFolder() + "/KVLBTessarionMainVersion") << "Tessarion version=0.0.0.1 and more text";
    start();
    EXPECT_FALSE(fs::exists(sessionCopy(5)));
    for (int slot : {0, 31})
        EXPECT_TRUE(fs::is_directory(dataFolder() + "/Tempfile/Session_" + std::to_string(slot)));
    EXPECT_EQ(readText(dataFolder() + "/KVLBTessarionMainVersion"), "Tessarion version=1.0.21.0630");
}

TEST_F(ServiceStartup, CrashNoteForAnAttemptOtherThanZero) {
    struct Case {
        std::vector<std::string> args;
        bool note;
    };
    for (const Case& c : {Case{{"3"}, true}, Case{{"0"}, false}, Case{{}, false}}) {
        SCOPED_TRACE(c.args.empty() ? "no argument" : c.args[0]);
        size_t before = logCount("Detected Tessarion crash");
        start(c.args);
        EXPECT_EQ(logCount("Detected Tessarion crash") > before, c.note);
        stop();
    }
}

TEST_F(ServiceStartup, CertificateFollowsTheWindowsVersion) {
    const std::string rsa = std::string(KVLB_CERT_DIR) + "/kvlb_rsa_cert.pem";
    const std::string ec = std::string(KVLB_CERT_DIR) + "/kvlb_ec_cert.pem";
    struct Case {
        const char* windows;
        std::string served, other;
    };
    for (const Case& c : {Case{"xp", rsa, ec}, Case{"unknown", rsa, ec}, Case{"10", ec, rsa}}) {
        SCOPED_TRACE(c.windows);
        platform::setSetting("windows", c.windows);
        start();
        PostOptions o;
        o.caFile = c.served;
        EXPECT_EQ(post(json(opening("TessarionEcho")), o).get("result"), "0");
        o.caFile = c.other;
        EXPECT_FALSE(post(json(opening("TessarionEcho")), o).replied);
        stop();
    }
}

// Started in debug mode (the ini gives a log level), the service follows each switch of the
// monitor's debug-mode event from the first one on.
TEST_F(ServiceStartup, DebugModeSwitchesFromAStartInDebugMode) {
    HANDLE monitorEvent = CreateEventW(nullptr, TRUE, FALSE, L"KVLBTessarion_DEBUG_MODE");
    ASSERT_NE(monitorEvent, nullptr);
    start();
    auto served = [&] {
        size_t before = logCount("Release Mode");
        EXPECT_EQ(post(json(opening("TessarionEcho"))).get("result"), "0");
        return logCount("Release Mode") > before;
    };
    ASSERT_TRUE(served());
    // One pulse each, given while the watcher waits (it pauses only after a pulse it took).
    std::this_thread::sleep_for(std::chrono::seconds(1));
    PulseEvent(monitorEvent);
    EXPECT_TRUE(pollUntil([&] { return logHas("[KVLBTessarion][Normal] Log state: Disable"); }, 5s))
        << "the first switch turns logging off";
    EXPECT_FALSE(served()) << "nothing logged in normal mode";
    std::this_thread::sleep_for(std::chrono::seconds(1));
    PulseEvent(monitorEvent);
    EXPECT_TRUE(pollUntil([&] { return logCount("[KVLBTessarion][Normal] Log state: Enable") == 2; }, 5s));
    EXPECT_TRUE(served()) << "logging again in debug mode";
    CloseHandle(monitorEvent);
}

}  // namespace
}  // namespace svc
