// The administration protocol: messages to the application signature that
// manage shares, accounts, messages and statistics, and the node-monitor
// notifications that withdraw a moved or deleted share. Runs on the
// application thread, one message at a time.
#pragma once

#include "platform/message.h"
#include "server/admin/admin_protocol.h"

// Handles one administration message or node-monitor notification; false
// when the code is none of them.
bool afpHandleAdminMessage(BMessage* message);

// The text shown when a shared folder was moved, renamed or deleted.
void afpNotifyShareWithdrawn(const char* path);
