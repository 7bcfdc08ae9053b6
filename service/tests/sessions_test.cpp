// Caller sessions seen from the page: opening with the path table and the version gates, the
// refusals of an adapter that cannot be used, eviction of the oldest session, browser mode, and
// the per-session copy of the adapter on disk.
#include <algorithm>

#include "service_harness.h"

namespace svc {
namespace {

class ServiceSessions : public ServiceTest {};

TEST_F(ServiceSessions, NewSessionCarriesIdAndVersions) {
    start();
    Reply r = post(json(opening("TessarionEcho")));
    EXPECT_EQ(r.get("result"), "0");
    EXPECT_TRUE(std::regex_match(r.get("SessionID"), std::regex("[0-9A-Z]{8}_SID"))) << r.get("SessionID");
    EXPECT_EQ(r.get("ServerVersion"), "1.0.21.0630");
    EXPECT_EQ(r.get("LibVersion"), "1,0,20,907");
    EXPECT_EQ(r.values.size(), 4u) << r.body;
    // The adapter was unlocked with the page's origin, from the session's own copy.
    EXPECT_NE(journal().find(sessionCopy(0) + " unlock " + kOrigin), std::string::npos) << journal();
}

TEST_F(ServiceSessions, OpeningGates) {
    start();
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> request;
        std::string result;
    };
    std::vector<Case> cases = {
        {"no minServerVersion", {{"FunctionName", "TessarionEcho"}, {"PathID", kPathId}}, "61203"},
        {"newer minServerVersion",
         {{"FunctionName", "TessarionEcho"}, {"PathID", kPathId}, {"minServerVersion", "1.0.21.0631"}},
         "61203"},
        {"older minServerVersion",
         {{"FunctionName", "TessarionEcho"}, {"PathID", kPathId}, {"minServerVersion", "1.0.20.9999"}},
         "0"},
        {"newer minLibVersion",
         {{"FunctionName", "TessarionEcho"},
          {"PathID", kPathId},
          {"minServerVersion", "1.0.21.0630"},
          {"minLibVersion", "1.0.20.908"}},
         "61204"},
        {"same minLibVersion with dots",
         {{"FunctionName", "TessarionEcho"},
          {"PathID", kPathId},
          {"minServerVersion", "1.0.21.0630"},
          {"minLibVersion", "1.0.20.907"}},
         "0"},
        {"PathID in lower case",
         {{"FunctionName", "TessarionEcho"},
          {"PathID", "5d0e7b21c48a4f93b6e2d7150a9c3f68"},
          {"minServerVersion", "1.0.21.0630"}},
         "0"},
        {"table's LibDir and ComName in lower case",
         {{"FunctionName", "TessarionEcho"},
          {"PathID", "00"},
          {"LibDir", "kvlb"},
          {"ComName", "kvlbtokenadapter"},
          {"minServerVersion", "1.0.21.0630"}},
         "0"},
        {"relative folder before LibDir",
         {{"FunctionName", "TessarionEcho"},
          {"LibDir", "..\\\\KVLB"},
          {"ComName", "KvlbTokenAdapter"},
          {"minServerVersion", "1.0.21.0630"}},
         "61009"},
        {"ComName with .dll",
         {{"FunctionName", "TessarionEcho"},
          {"LibDir", "KVLB"},
          {"ComName", "KvlbTokenAdapter.dll"},
          {"minServerVersion", "1.0.21.0630"}},
         "61009"},
        {"no adapter named",
         {{"FunctionName", "TessarionEcho"}, {"minServerVersion", "1.0.21.0630"}},
         "61009"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reply r = post(json(c.request));
        EXPECT_EQ(r.get("result"), c.result) << r.body;
        if (c.result != "0") {
            EXPECT_EQ(r.values.size(), 1u) << "a refusal carries only result: " << r.body;
        }
    }
    // Refused openings leave no session behind: the slots still free are all but the three opened.
    for (int slot = 3; slot < 32; ++slot) EXPECT_FALSE(fs::exists(sessionCopy(slot))) << slot;
}

TEST_F(ServiceSessions, AdapterThatCannotServeIsRefused) {
    struct Case {
        const char* name;
        const char* library;  // nullptr: no library installed
        std::string settings;
        std::string result;
    };
    std::vector<Case> cases = {
        {"library missing", nullptr, "", "61902"},
        {"neither export", KVLB_FIXTURE_NONE, "", "61906"},
        {"unlock refused", KVLB_FIXTURE_BOTH, "unlock=61908\n", "61908"},
        {"version answer is a code", KVLB_FIXTURE_BOTH, "version=61905\n", "61905"},
        {"only the JSON text entry", KVLB_FIXTURE_JSON, "", "0"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.library)
            installAdapter(c.library);
        else
            fs::remove(bin() + "/KVLB/KvlbTokenAdapter.dll");
        adapterSettings(c.settings);
        start();
        Reply r = post(json(opening("TessarionEcho")));
        EXPECT_EQ(r.get("result"), c.result) << r.body;
        EXPECT_FALSE(c.result != "0" && fs::exists(sessionCopy(0))) << "the refused session's copy is left";
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

TEST_F(ServiceSessions, EmptyVersionAnswerOpensNothing) {
    adapterSettings("version=\n");
    start();
    Reply r = post(json(opening("TessarionEcho")));
    EXPECT_TRUE(r.replied);
    EXPECT_FALSE(r.has("result")) << r.body;
    EXPECT_FALSE(fs::exists(sessionCopy(0)));
}

TEST_F(ServiceSessions, ThirtyThirdSessionEvictsTheOldest) {
    start();
    std::vector<std::string> ids;
    for (int i = 0; i < 32; ++i) ids.push_back(openSession());
    // The first session is used again; its stamp is still the oldest.
    EXPECT_EQ(post(json({{"SessionId", ids[0]}, {"FunctionName", "Count"}})).get("result"), "Count:1");
    std::string newest = openSession();
    EXPECT_TRUE(std::regex_match(newest, std::regex("[0-9A-Z]{8}_SID"))) << newest;
    EXPECT_EQ(std::find(ids.begin() + 1, ids.end(), newest), ids.end()) << "an id still in use: " << newest;
    // Session 2 is still open (only "result"); session 1 is gone and opens anew under its id.
    Reply second = post(json({{"SessionId", ids[1]}, {"FunctionName", "Count"}}));
    EXPECT_EQ(second.get("result"), "Count:1");
    EXPECT_FALSE(second.has("ServerVersion"));
    auto reopen = opening("Count");
    reopen.push_back({"SessionId", ids[0]});
    Reply first = post(json(reopen));
    EXPECT_EQ(first.get("result"), "Count:1") << "a fresh adapter instance";
    EXPECT_TRUE(first.has("ServerVersion"));
    EXPECT_FALSE(first.has("SessionID")) << "a caller's own id is kept, not replaced";
}

TEST_F(ServiceSessions, SessionIdFoundInsideALongerId) {
    start();
    std::string id = openSession();
    Reply r = post(json({{"SessionId", "xx" + id + "yy"}, {"FunctionName", "Count"}}));
    EXPECT_EQ(r.get("result"), "Count:1");
    EXPECT_FALSE(r.has("ServerVersion")) << "found the open session: " << r.body;
}

TEST_F(ServiceSessions, ShortCallerChosenIdDoesNotCaptureOtherSessions) {
    start();
    auto shortId = opening("Count");
    shortId.push_back({"SessionId", "S"});
    EXPECT_EQ(post(json(shortId)).get("result"), "Count:1");
    std::string other = openSession();
    ASSERT_NE(other.find('S'), std::string::npos);
    Reply r = post(json({{"SessionId", other}, {"FunctionName", "Count"}}));
    EXPECT_EQ(r.get("result"), "Count:1") << "answered by the session's own adapter";
    EXPECT_EQ(post(json({{"SessionId", "S"}, {"FunctionName", "Count"}})).get("result"), "Count:2");
}

// Text that occurs inside every issued id, taken by a page as its own id, must not receive the
// requests of another caller whose session is gone; a release with such an old id releases nothing.
TEST_F(ServiceSessions, CallerChosenIdReceivesNoOtherCallersRequests) {
    start();
    for (const char* chosen : {"_SID", "ID"}) {
        auto open = opening("Count");
        open.push_back({"SessionId", chosen});
        ASSERT_EQ(post(json(open)).get("result"), "Count:1") << chosen;
    }
    ASSERT_TRUE(fs::exists(sessionCopy(0)) && fs::exists(sessionCopy(1)));
    std::string gone = openSession();
    EXPECT_TRUE(post(json({{"SessionId", gone}, {"FunctionName", "TessarionForceRelease"}})).values.empty());
    ASSERT_FALSE(fs::exists(sessionCopy(2)));

    size_t before = logCount("No specific adapter to release");
    for (const std::string& id : {gone, "xx" + gone + "yy"}) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(
            post(json({{"SessionId", id}, {"FunctionName", "TessarionForceRelease"}})).values.empty());
        EXPECT_TRUE(fs::exists(sessionCopy(0)) && fs::exists(sessionCopy(1)))
            << "another caller's copy deleted";
    }
    EXPECT_EQ(logCount("No specific adapter to release"), before + 2);
    Reply call = post(json({{"SessionId", gone}, {"FunctionName", "Count"}}));
    EXPECT_EQ(call.get("result"), "61009") << "a new opening, not another caller's adapter: " << call.body;
    EXPECT_EQ(post(json({{"SessionId", "_SID"}, {"FunctionName", "Count"}})).get("result"), "Count:2");
    EXPECT_EQ(post(json({{"SessionId", "ID"}, {"FunctionName", "Count"}})).get("result"), "Count:2");
}

TEST_F(ServiceSessions, BrowserModeSurvivesCloseButNotForceRelease) {
    start();
    auto open = opening("TessarionEcho");
    open.push_back({"TessarionMode", "true"});
    std::string id = post(json(open)).get("SessionID");
    ASSERT_TRUE(fs::exists(sessionCopy(0)));
    for (const char* close : {"TessarionClose", "TessarionRelease"}) {
        Reply r = post(json({{"SessionId", id}, {"FunctionName", close}}));
        EXPECT_TRUE(r.replied);
        EXPECT_TRUE(r.values.empty()) << r.body;
    }
    Reply echo = post(json({{"SessionId", id}, {"FunctionName", "echo"}}));
    EXPECT_EQ(echo.get("result"), "0");
    EXPECT_EQ(echo.get("LibVersion"), "1,0,20,907");
    EXPECT_FALSE(echo.has("SessionID"));
    EXPECT_TRUE(fs::exists(sessionCopy(0)));

    EXPECT_TRUE(post(json({{"SessionId", id}, {"FunctionName", "TessarionForceRelease"}})).values.empty());
    EXPECT_FALSE(fs::exists(sessionCopy(0))) << "the session copy is deleted at release";
    EXPECT_NE(journal().find(sessionCopy(0) + " release"), std::string::npos);
    // Released: a close now finds no session.
    Reply after = post(json({{"SessionId", id}, {"FunctionName", "TessarionClose"}}));
    EXPECT_TRUE(after.values.empty());
    EXPECT_TRUE(logHas("No specific adapter to release"));
}

TEST_F(ServiceSessions, CloseReleasesASessionOutsideBrowserMode) {
    start();
    std::string id = openSession();
    EXPECT_EQ(post(json({{"SessionId", id}, {"FunctionName", "Count"}})).get("result"), "Count:1");
    post(json({{"SessionId", id}, {"FunctionName", "TessarionClose"}}));
    EXPECT_FALSE(fs::exists(sessionCopy(0)));
}

TEST_F(ServiceSessions, ExistingCopyMeansTheInstalledLibraryIsUsedAndKept) {
    start();
    // A file in the way of the copy (as a leftover the start-up could not remove would be).
    std::ofstream(sessionCopy(0)) << "in the way";
    std::string id = openSession();
    EXPECT_NE(journal().find(bin() + "/KVLB/KvlbTokenAdapter.dll unlock"), std::string::npos) << journal();
    post(json({{"SessionId", id}, {"FunctionName", "TessarionForceRelease"}}));
    EXPECT_TRUE(fs::exists(bin() + "/KVLB/KvlbTokenAdapter.dll"));
    EXPECT_EQ(readText(sessionCopy(0)), "in the way");
}

TEST_F(ServiceSessions, InstallerVersionFromTheDataFolderOnly) {
    start();
    std::ofstream(dataFolder() + "/SetupVersion.txt") << "2.3.4\n";
    std::ofstream(root.c("ProgramData/SecretVersion.txt")) << "secret";
    auto open = opening("TessarionEcho");
    open.push_back({"InstallerName", "Setup.exe"});
    Reply r = post(json(open));
    EXPECT_EQ(r.get("InstallerVersion"), "2.3.4\n");
    Reply echo = post(json({{"SessionId", r.get("SessionID")}, {"FunctionName", "TessarionEcho"}}));
    EXPECT_EQ(echo.get("InstallerVersion"), "2.3.4\n");

    // A name that leaves the data folder reads nothing.
    open = opening("TessarionEcho");
    open.push_back({"InstallerName", "..\\\\Secret"});
    EXPECT_EQ(post(json(open)).get("InstallerVersion"), "");
}

TEST_F(ServiceSessions, ComponentCallsGoToTheSessionsOwnAdapter) {
    start();
    Reply first = post(json(opening("SignData")));
    EXPECT_EQ(first.get("result"), "SignData:1");
    EXPECT_TRUE(first.has("ServerVersion"));
    std::string a = first.get("SessionID");
    std::string b = openSession();
    Reply r = post(json({{"SessionId", a}, {"FunctionName", "SignData"}}));
    EXPECT_EQ(r.get("result"), "SignData:2");
    EXPECT_EQ(r.values.size(), 1u) << r.body;
    EXPECT_EQ(post(json({{"SessionId", b}, {"FunctionName", "SignData"}})).get("result"), "SignData:1");
}

TEST_F(ServiceSessions, HiddenResultIsMaskedInTheLogOnly) {
    adapterSettings("answer=topsecret\n");
    start();
    std::string id = openSession();
    Reply r = post(json({{"SessionId", id}, {"FunctionName", "ReadPin"}, {"hide_result", "true"}}));
    EXPECT_EQ(r.get("result"), "topsecret");
    EXPECT_TRUE(logHas(" Component result: *********"));
    EXPECT_FALSE(logHas("topsecret"));
}

TEST_F(ServiceSessions, OwnProcessWatcherWinsOverAllWindows) {
    start();
    std::string id = openSession();
    Reply r = post(json({{"SessionId", id},
                         {"FunctionName", "ShowPinDialog"},
                         {"topuidetect", "TRUE"},
                         {"topuialldetect", "true"}}));
    EXPECT_EQ(r.get("result"), "ShowPinDialog:1");
    EXPECT_TRUE(logHas("Set top component UI: Enable"));
    EXPECT_FALSE(logHas("Set top all system UI: "));
}

}  // namespace
}  // namespace svc
