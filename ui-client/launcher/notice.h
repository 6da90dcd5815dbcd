#pragma once

// A desktop notification of a failed or held-back upgrade, through the freedesktop
// notification service on the session bus. A login start has no dialog that stays up:
// without it the user would never learn why the copy stays old.
#include "layout.h"
#include "notice_reason.h"
#include "ustring/ustring.h"

#include <QString>

#include <string>

// At most one notification per (event, reason, package identity), remembered in a small
// state file in U (0600); bounded at 1 s; no wait and nothing sent without a session bus
// or without a notification service. Returns whether one was sent. Needs the string
// table (StrTable::InitStrTable) and an application object for the translations.
bool NotifyUser(const Layout& layout, NoticeEvent event, NoticeReason reason,
                const std::string& package_identity);

namespace notice {

// The state file that remembers what was shown.
ustring StatePath(const ustring& user_root);
// The notification's title and text in the current language.
QString Summary(NoticeEvent event);
QString Body(NoticeEvent event, NoticeReason reason, const ustring& user_root);
// The longest NotifyUser waits for the bus and the service.
constexpr int BOUND_MS = 1000;

} // namespace notice
