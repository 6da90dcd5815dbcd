#pragma once

// What a desktop notification tells: the service reports these, and notice.h sends them.
// Kept apart from the sending so that the service need not include the notifier.

enum class NoticeEvent
{
    UpgradeFailed,
    BackedOff,
    CopyMovedAside,
};

enum class NoticeReason
{
    NoRoom,
    Quota,
    DamagedPackage,
    ForeignFiles,
    Other,
};
