/*
 * Administration client of the corvane AFP server (libuamshare.so).
 *
 * Each function sends one administration message (or a short sequence) to
 * the running server, the application "application/x-vnd.corvane" of this
 * user's settings folder ($CORVANE_SETTINGS_DIR, else $XDG_CONFIG_HOME, else
 * $HOME/.config), waits for the answer without a time limit and turns it into
 * a result code:
 *
 *   0                        done
 *   AFP_RESULT_FAIL          the server failed the request, or its answer
 *                            lacks a field the function needs (also when a
 *                            text does not fit an afp_string)
 *   the server's own code    AFP_RESULT_NOT_SHARED, AFP_RESULT_START_FAILED,
 *                            AFP_RESULT_NO_TEXT, AFP_RESULT_NOT_UNDERSTOOD,
 *                            AFP_RESULT_NO_REPLY
 *   a negative platform code the server could not be reached
 *                            (AFP_RESULT_NOT_RUNNING: nobody listens)
 *   AFP_RESULT_BAD_INDEX     a negative share index; nothing is sent
 *   AFP_RESULT_NULL_POINTER  a required out pointer is null; nothing is sent
 *   -1, AFP_RESULT_NOT_A_FOLDER, AFP_RESULT_VOLUME_ROOT
 *                            AFPAddShare refused the folder; nothing is sent
 *
 * Optional out pointers may be null when the value is not wanted. Text
 * inputs are NUL-terminated; a null text counts as empty. Calls share no
 * state and may run on several threads at once.
 */
#ifndef CORVANE_UAMSHARE_CLIENT_H
#define CORVANE_UAMSHARE_CLIENT_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#define UAMSHARE_API __attribute__((visibility("default")))

#define AFP_RESULT_FAIL ((int32_t)0x6661696C)          /* 'fail' */
#define AFP_RESULT_NOT_SHARED ((int32_t)-4004)         /* also: negative index */
#define AFP_RESULT_BAD_INDEX ((int32_t)-4004)
#define AFP_RESULT_START_FAILED ((int32_t)-4005)       /* share recorded, not started */
#define AFP_RESULT_NO_TEXT ((int32_t)-4006)            /* server: message text missing */
#define AFP_RESULT_NULL_POINTER ((int32_t)-4006)
#define AFP_RESULT_NOT_A_FOLDER ((int32_t)-4007)
#define AFP_RESULT_VOLUME_ROOT ((int32_t)-4008)
#define AFP_RESULT_NOT_UNDERSTOOD ((int32_t)0x5F4E554E) /* '_NUN' */
#define AFP_RESULT_NO_REPLY ((int32_t)0x5F4E5250)      /* '_NRP' */
#define AFP_RESULT_NOT_RUNNING ((int32_t)-2147475456)   /* nobody listens */

/* Share flag: the share is read-only. */
#define AFP_SHARE_READ_ONLY 0x02u

/* Account flags. */
#define AFP_ACCOUNT_ENABLED 0x01u
#define AFP_ACCOUNT_GUEST_CREATED 0x02u
#define AFP_ACCOUNT_PASSWORD_EXPIRED 0x04u
#define AFP_ACCOUNT_ADMINISTRATOR 0x08u
#define AFP_ACCOUNT_CHANGE_BEFORE_LOGIN 0x10u
#define AFP_ACCOUNT_MAY_CHANGE_PASSWORD 0x20u

#ifdef __cplusplus
extern "C" {
#endif

/* A text: NUL-terminated within the array. */
typedef struct afp_string {
  char text[1024];
} afp_string;

/* An absolute path. */
typedef struct afp_path {
  char path[1024];
} afp_path;

/* A file system entry, named by its path (relative paths are taken from the
 * current folder). */
typedef struct afp_entry_ref {
  char path[1024];
} afp_entry_ref;

typedef struct afp_server_stats {
  int64_t bytes_sent;
  int64_t bytes_received;
  uint32_t bytes_per_second; /* low 32 bits */
  uint32_t dsi_packets;
  int32_t open_sessions;
} afp_server_stats;

/* Shares. Index 0 is the first running share. */
UAMSHARE_API int32_t AFPGetVolumePathFromIndex(int16_t index, afp_string* path);
UAMSHARE_API int32_t AFPGetVolumeFlagsFromPath(const afp_string* path, uint32_t* flags);
UAMSHARE_API int32_t AFPGetVolumeFlagsFromIndex(int16_t index, uint32_t* flags);
UAMSHARE_API int32_t AFPSaveVolumeFlags(int16_t index, uint32_t flags);
UAMSHARE_API int32_t AFPRemoveShare(const afp_string* path);
UAMSHARE_API int32_t AFPRemoveShareAtIndex(int16_t index);
/* Shares a folder with flags 0; *path (optional) receives its absolute path. */
UAMSHARE_API int32_t AFPAddShare(afp_entry_ref folder, afp_path* path);

/* Logon message: AFPSaveLogonMessage rewrites the file "afpLogonMessage" of
 * the settings folder with `length` bytes of `text` (even when the server
 * then refuses the text) and hands the text to the server.
 * AFPGetLogonMessage reads at most `size` bytes of that file into a zeroed
 * buffer; the result is NUL-terminated only when the file is shorter. */
UAMSHARE_API int32_t AFPSaveLogonMessage(const char* text, int32_t length);
UAMSHARE_API int32_t AFPGetLogonMessage(char* buffer, int32_t size);

/* Guest access: the enabled flag of the account "Guest". False also when the
 * server cannot be asked. */
UAMSHARE_API bool AFPGetGuestsAllowed(void);
UAMSHARE_API int32_t AFPSetGuestsAllowed(bool allowed);

/* Accounts; `enabled` is the account's enabled flag. */
UAMSHARE_API int32_t AFPGetIndUser(int16_t index, afp_string* name, afp_string* password,
                                   bool* enabled);
UAMSHARE_API int32_t AFPGetUserInfo(const char* name, afp_string* password, bool* enabled);
UAMSHARE_API int32_t AFPAddUser(const char* name, const char* password, bool enabled);
UAMSHARE_API int32_t AFPUpdateUserProperties(const char* name, const char* password,
                                             bool enabled);
UAMSHARE_API int32_t AFPDeleteUser(const char* name);

/* Beyond the settings panel's set: full account flags, share flags by path,
 * volume names, the server message and statistics. */
UAMSHARE_API int32_t AFPAddShareWithFlags(afp_entry_ref folder, uint32_t flags, afp_path* path);
UAMSHARE_API int32_t AFPSaveVolumeFlagsForPath(const afp_string* path, uint32_t flags);
UAMSHARE_API int32_t AFPGetVolumeNameFromIndex(int16_t index, afp_string* name);
UAMSHARE_API int32_t AFPAddUserWithFlags(const char* name, const char* password, uint32_t flags);
UAMSHARE_API int32_t AFPUpdateUserWithFlags(const char* name, const char* password,
                                            uint32_t flags);
UAMSHARE_API int32_t AFPGetUserFlags(const char* name, afp_string* password, uint32_t* flags);
UAMSHARE_API int32_t AFPGetIndUserFlags(int16_t index, afp_string* name, afp_string* password,
                                        uint32_t* flags);
/* Sets the server message and alerts every connected client. */
UAMSHARE_API int32_t AFPSendServerMessage(const char* text);
UAMSHARE_API int32_t AFPGetServerStatistics(afp_server_stats* stats);

#ifdef __cplusplus
}

inline int32_t AFPRemoveShare(int16_t index) { return AFPRemoveShareAtIndex(index); }
#endif

#endif /* CORVANE_UAMSHARE_CLIENT_H */
