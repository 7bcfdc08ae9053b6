// kvlb_browser_page: our customer page in headless Chromium against a service already running on
// this machine (the Windows set under Wine, say). Prints what the page shows, one "key=value" line
// each (open, session, unlock, answer, state, origin); exits 0 when the page finished, 1 when the
// browser or the page failed (the reason on stderr), 2 on a usage error.
//
//   kvlb_browser_page --service-port <n> --cert <pem> [--cert <pem>...] --host <name>
//                     --label <text> --work <folder> [--page-dir <folder>]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/browser_page.h"

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "kvlb_browser_page: %s\nusage: kvlb_browser_page --service-port <n> --cert <pem> "
                 "[--cert <pem>...] --host <name> --label <text> --work <folder> [--page-dir <folder>]\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int servicePort = 0;
    std::vector<std::string> certs;
    std::string host, label, work, pageDir = KVLB_E2E_PAGE_DIR;
    bool haveLabel = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) return usage(("no value for " + option).c_str());
        std::string value = argv[++i];
        if (option == "--service-port") {
            servicePort = std::atoi(value.c_str());
        } else if (option == "--cert") {
            certs.push_back(value);
        } else if (option == "--host") {
            host = value;
        } else if (option == "--label") {
            label = value;
            haveLabel = true;
        } else if (option == "--work") {
            work = value;
        } else if (option == "--page-dir") {
            pageDir = value;
        } else {
            return usage(("unknown option " + option).c_str());
        }
    }
    if (servicePort <= 0 || servicePort > 65535 || certs.empty() || host.empty() || !haveLabel ||
        work.empty())
        return usage("--service-port, --cert, --host, --label and --work are needed");
    if (!e2e::HeadlessPage::toolsPresent())
        return std::fprintf(stderr,
                            "kvlb_browser_page: chromium and certutil are needed "
                            "(scripts/install-deps.sh installs them)\n"),
               1;

    std::error_code ec;
    std::filesystem::create_directories(work, ec);
    e2e::HeadlessPage browser(pageDir, work);
    std::string error;
    e2e::Page page;
    bool ok = browser.trust(certs, &error) && browser.load(host, servicePort, label, &page, &error);
    std::printf("open=%s\nsession=%s\nunlock=%s\nanswer=%s\nstate=%s\norigin=http://%s:%d\n",
                page.open.c_str(), page.session.c_str(), page.unlock.c_str(), page.answer.c_str(),
                page.state.c_str(), host.c_str(), browser.pagePort());
    if (!ok) {
        std::fprintf(stderr, "kvlb_browser_page: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
