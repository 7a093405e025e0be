// The host driver: loads a plug-in as the host does and plays the host's messages and
// function calls against it, on top of the fake host. fmxhost is run() on the command line.
#pragma once

#include "fakehost/fakehost.h"

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

namespace fmxhost {

// Exit statuses of run().
enum Status {
    kOk = 0,
    kFunctionFailed = 1, // the function's or the step's handler returned a non-zero code
    kUsage = 2,
    kNotLoaded = 3,        // missing file, not loadable, or no FMExternCallProc
    kRefused = 4,          // Init replied that the plug-in is not to be enabled
    kNoSuchFunction = 5,   // no such function or step, or the wrong number of arguments
    kPluginMisbehaved = 6, // an exception left the plug-in, or a reply was not terminated
};

// A failure with a one-line message and the status it ends fmxhost with.
struct Failure : std::runtime_error {
    Failure(Status status, const std::string& message);
    Status status;
};

// A plug-in module, loaded with its entry point found, unloaded by the destructor.
class Plugin {
  public:
    explicit Plugin(const std::string& path);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    FMX_ExternCallProc entry() const { return entry_; }
    void* symbol(const char* name) const;

  private:
    void* module_;
    FMX_ExternCallProc entry_;
};

// A call block as the host fills it for a message: unusedID -1, the entry point, everything
// else 0 until the caller sets the message's own fields.
FMX_ExternCallStruct callBlock(const Plugin& plugin, fmx::uchar whichCall, fmx::int16 extnVersion);

void send(const Plugin& plugin, FMX_ExternCallStruct& block);

// Init's reply, read as a signed value. `application` is the kind of host (Developer 0, Pro 1,
// the server's scripting process 7, the Data API 9...).
fmx::int64 init(const Plugin& plugin, fmx::int16 extnVersion, FMX_Application application = 0);
// One Idle message at `level`, on the calling thread, with unsafeCalls false.
void idle(const Plugin& plugin, FMX_IdleLevel level, fmx::int16 extnVersion);
void shutdown(const Plugin& plugin, fmx::int16 extnVersion);

// The string the plug-in writes into a buffer of `size` units, up to its terminator.
std::u16string getString(const Plugin& plugin, fmx::uchar id, fmx::uint32 size,
                         fmx::int16 extnVersion);

// Calls a registered function by name with text arguments; checks the argument count
// against the registration.
fakehost::Result callFunction(const std::string& name, const std::vector<std::string>& arguments);

// Performs a registered script step by name, the arguments filling its parameters in ID order;
// checks that there are no more arguments than parameters.
fakehost::Result performStep(const std::string& name, const std::vector<std::string>& arguments);

// The whole command line, arguments[0] being the program's name; returns the exit status.
int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace fmxhost
