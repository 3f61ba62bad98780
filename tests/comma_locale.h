// A locale whose decimal point is a comma (de_DE.UTF-8, as a German desktop
// has it), compiled with localedef into a private folder that LOCPATH points
// at: nothing is installed on the machine, and the test does not depend on
// which locales it happens to have.
#pragma once

#include <clocale>
#include <cstdlib>
#include <string>

#include "test_support.h"

class CommaLocale {
  public:
    static constexpr const char* kName = "de_DE.UTF-8";

    // Compiled on first use, once per test program (it takes a few seconds).
    static const CommaLocale& Get() {
        static const CommaLocale locale;
        return locale;
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // The folder for LOCPATH.
    const std::string& Folder() const { return folder_.Path(); }

  private:
    CommaLocale() {
        if (folder_.Path().empty()) {
            error_ = "cannot make a temporary folder";
            return;
        }
        // localedef exits 1 for warnings only; the compiled files decide.
        const std::string command = "localedef -i de_DE -f UTF-8 '" + folder_.File(kName) +
                                    "' >/dev/null 2>&1; test -f '" + folder_.File(kName) +
                                    "/LC_NUMERIC'";
        if (std::system(command.c_str()) != 0)
            error_ = "localedef cannot compile de_DE.UTF-8 (Debian packages libc-bin, locales)";
    }

    TempFolder folder_{"lwlocale"};
    std::string error_;
};

// For its scope the process's C locale is the comma locale, as
// setlocale(LC_ALL, "") makes it in a program started under LANG=de_DE.UTF-8
// (every Qt application does so). Check ok() before relying on it.
class CommaLocaleScope {
  public:
    CommaLocaleScope() {
        const CommaLocale& locale = CommaLocale::Get();
        if (!locale.ok()) return;
        previous_ = std::setlocale(LC_ALL, nullptr);
        setenv("LOCPATH", locale.Folder().c_str(), 1);
        ok_ = std::setlocale(LC_ALL, CommaLocale::kName) != nullptr;
    }
    ~CommaLocaleScope() {
        if (!previous_.empty()) std::setlocale(LC_ALL, previous_.c_str());
        unsetenv("LOCPATH");
    }
    CommaLocaleScope(const CommaLocaleScope&) = delete;
    CommaLocaleScope& operator=(const CommaLocaleScope&) = delete;

    bool ok() const { return ok_; }

  private:
    std::string previous_;
    bool ok_ = false;
};
