// The machine an adapter test runs on, in either build: where the adapter's session copies are
// put, how the stand-in component is registered and set up, where its journal and the adapter's
// log are. The Linux build's machine is a fresh emulated root per test; the Windows build's is
// the prefix (or the PC), with a temporary folder of the test's own and the component registered
// through regsvr32.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "component/component_journal.h"
#include "component/signing_component.h"

#ifdef _WIN32
#include "component/tests/windows/component_registration.h"
#else
#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/win_base.h"
#include "platform/win_com.h"
#endif

class TestMachine {
  public:
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

#ifdef _WIN32
    // The adapter's log ini beside the test program (the first place it looks; this program's
    // folder is its own), its log in the test's temporary folder.
    TestMachine() {
        clearComponentFiles();
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ =
            std::filesystem::path(temp) / (L"kvlb-adapter-test-" + std::to_wstring(GetCurrentProcessId()));
        std::filesystem::create_directories(folder_);
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        ini_ = std::filesystem::path(self).parent_path() / L"KVLBTessarion.ini";
        std::ofstream(ini_, std::ios::binary | std::ios::trunc)
            << "[KVLBTessarion]\r\nLog File=" << (folder_ / L"adapter.log").string() << "\r\nLog Level=5\r\n";
    }
    ~TestMachine() {
        std::error_code ec;
        std::filesystem::remove(ini_, ec);
        std::filesystem::remove_all(folder_, ec);
        clearComponentFiles();
    }
    bool registerComponent() {
        return ::registerComponent(componentLibrary()) == 0;
    }
    bool unregisterComponent() {
        return ::unregisterComponent(componentLibrary()) == 0;
    }
    void setComponentSetting(const std::string& key, const std::string& value) {
        settings_[key] = value;
        std::string text;
        for (const auto& [k, v] : settings_) text += k + "=" + v + "\r\n";
        writeComponentSettings(text);
    }
    std::wstring componentLibrary() const {
        return test_support::windowsPath(KVLB_COMPONENT_LIBRARY);
    }
    // Copies the adapter into a folder of the test's own; the path to load it from.
    std::wstring placeAdapterCopy(const std::string& name) {
        std::filesystem::path file = folder_ / name / L"KvlbTokenAdapter.dll";
        std::filesystem::create_directories(file.parent_path());
        std::filesystem::copy_file(std::filesystem::path(test_support::windowsPath(KVLB_ADAPTER_LIBRARY)),
                                   file, std::filesystem::copy_options::overwrite_existing);
        return file.wstring();
    }
    std::filesystem::path logFolder() const {
        return folder_;
    }

  private:
    std::filesystem::path folder_;
    std::filesystem::path ini_;
    std::map<std::string, std::string> settings_;
#else
    // The adapter's log ini in the machine's Windows folder, its log at C:\.
    TestMachine() {
        std::filesystem::create_directories(root_.c("Windows"));
        std::ofstream(root_.ini()) << "[KVLBTessarion]\r\nLog File=C:\\adapter.log\r\nLog Level=5\r\n";
    }
    bool registerComponent() {
        return platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY);
    }
    bool unregisterComponent() {
        return platform::unregisterComServer(CLSID_SigningComponent);
    }
    void setComponentSetting(const std::string& key, const std::string& value) {
        platform::setSetting(key.c_str(), value);
    }
    std::wstring componentLibrary() const {
        std::string path = "Z:" KVLB_COMPONENT_LIBRARY;
        return std::wstring(path.begin(), path.end());
    }
    std::wstring placeAdapterCopy(const std::string& name) {
        std::filesystem::create_directories(root_.c(name));
        std::filesystem::copy_file(KVLB_ADAPTER_LIBRARY, root_.c(name + "/KvlbTokenAdapter.dll"),
                                   std::filesystem::copy_options::overwrite_existing);
        return L"C:\\" + std::wstring(name.begin(), name.end()) + L"\\KvlbTokenAdapter.dll";
    }
    std::filesystem::path logFolder() const {
        return root_.c();
    }

  private:
    platform::TestRoot root_;
#endif

  public:
    std::vector<std::string> journal() const {
        std::vector<std::string> lines;
        std::ifstream in(componentJournalPath());
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            lines.push_back(l);
        }
        return lines;
    }
    // Everything the adapter logged so far (its files start with the ini's name).
    std::string log() const {
        std::string all;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(logFolder(), ec)) {
            if (e.path().filename().string().rfind("adapter", 0) != 0) continue;
            std::ifstream in(e.path(), std::ios::binary);
            all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return all;
    }
};
