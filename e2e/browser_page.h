// Headless Chromium showing our customer page against a running service: the page comes from a
// small HTTP server on 127.0.0.1 under a host name that the browser's resolver rules map there, and
// the browser trusts the service's certificates through an NSS database of its own. Used by the
// Linux end-to-end test and, as kvlb_browser_page, by the check of the Windows set under Wine.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// What the page's DOM shows once its script has run; "<missing>" for a field the DOM lacks.
struct Page {
    std::string open, session, unlock, answer, state;
    std::string dom;  // the whole dump, for failure messages
};

// Serves <page dir>/index.html over plain HTTP on 127.0.0.1, one request per connection.
class PageServer {
  public:
    explicit PageServer(std::string pageDir);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    int port() const { return port_; }    // 0 when it could not listen
    std::vector<std::string> requests();  // the request lines seen so far

  private:
    void serve();
    void answer(int connection);

    std::string pageDir_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

class HeadlessPage {
  public:
    // work: a folder of the caller's for the browser's home (with the NSS database), its profile and
    // its error output. Starts the page server at once: construct it inside the network where the
    // service listens.
    HeadlessPage(std::string pageDir, std::string work);

    // Chromium and certutil are where the project's install script puts them.
    static bool toolsPresent();

    // Trusts each PEM certificate as a peer; false with the reason in *error.
    bool trust(const std::vector<std::string>& pems, std::string* error);

    // Loads index.html?port=<service port>&label=<label> from http://<host>:<page port>; false with
    // the reason in *error when the browser failed or the page did not finish.
    bool load(const std::string& host, int servicePort, const std::string& label, Page* page,
              std::string* error);

    int pagePort() const { return server_->port(); }
    std::vector<std::string> requests() { return server_->requests(); }

  private:
    std::string work_;
    std::string home_;
    std::unique_ptr<PageServer> server_;
};

}  // namespace e2e
