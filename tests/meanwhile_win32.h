// What another program does while a run works, on Windows and under Wine:
// holds the run at a point of it, makes and swaps links, and writes names
// that the Win32 path functions would take for others.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

#include "run_binary.h"
#include "support.h"

namespace testing_support {

// Wine, where some outcomes differ from Windows's.
extern const bool under_wine;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The named events through which a test build of the command pauses at a
// point of its run (VRTL_SDF_PAUSE), so that a test acts at that very moment.
class Pause {
public:
    explicit Pause(const char* point);
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;
    std::string setting() const { return "VRTL_SDF_PAUSE=" + value_; }
    bool reached() const;
    void go() const;

private:
    static inline int made_ = 0;
    std::string value_;
    HANDLE reached_;
    HANDLE go_;
};

// Runs the command until it pauses at point, lets meanwhile act, and lets it go on.
Result run_pausing_at(const char* point, Invocation invocation, const std::function<void()>& meanwhile);

// A link, as any user may make one to a directory (a junction). Wine makes
// none through the Windows call: there the host's ln makes it.
void make_link(const std::filesystem::path& link, const std::string& target, DWORD kind);

// Points the name at another target, as the ones who made it may; on
// Windows only where the name can be taken from what stands there.
void relink(const std::filesystem::path& link, const std::string& target, DWORD kind);

// A file whose name the Win32 path functions would take for another one (a
// device, a name without its trailing dot), made through a path they leave as it is.
void write_literally(const std::filesystem::path& path, const std::string& bytes);

// Removes the scratch directory with the links in it. Wine deletes what a
// link leads to instead of the link, and then never ends on the link left.
void remove_with_links(const ScratchDir& scratch);

// How many programs that the process started are still running, besides the
// console host that Windows may start for it.
int programs_started_by(unsigned long parent);

}  // namespace testing_support
