#pragma once

#include <signal.h>
#include <spawn.h>

// The posix_spawn set-up that every start of the client's script shares.

// Owns one of posix_spawn's attribute objects: made by Init, released by Destroy.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
struct SpawnObject
{
    SpawnObject() : valid(Init(&value) == 0) {}
    ~SpawnObject()
    {
        if (valid) {
            Destroy(&value);
        }
    }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    bool ok() const { return valid; }

    T value;
    bool valid;
};

using SpawnActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                 posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

// Signals this process ignores (SIGPIPE, SIGXFSZ) must not stay ignored in the client, and
// none stays blocked.
inline void RestoreDefaultSignals(posix_spawnattr_t* attributes)
{
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(attributes, &defaults);
    posix_spawnattr_setsigmask(attributes, &none);
    posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}
