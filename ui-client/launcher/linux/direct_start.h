#pragma once

#include <string>

// Starts the installed client straight from the calling thread, for a run that has no
// worker: its thread could not be started, or the worker failed on an exception.
namespace DirectStart {

// True when the application folder `app_dir` is whole: no marker "<app_dir>.incomplete"
// and its client executable bin/brisendale-drive-ui present. `why` says what is not.
bool AppIsWhole(const std::string& app_dir, std::string* why);

// When AppIsWhole, runs "<app_dir>/package/start-stop start" with standard input on
// /dev/null and waits for it at most `wait_seconds`, without a thread. True when the
// script ran and ended with 0 or still runs after the wait; otherwise false and `why`
// says why.
bool StartClient(const std::string& app_dir, int wait_seconds, std::string* why);

} // namespace DirectStart
