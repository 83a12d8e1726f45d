// EnumerationCursor: where a session's walk through a folder stopped, so
// that a client paging through a large folder costs one pass over it rather
// than one pass per page.
//
// Clients page by raising the start index by the count they received, and
// every request must answer as a walk from the folder's first entry would.
// The cursor keeps the folder open at the entry where the previous request
// stopped; a request for the same, unchanged folder whose start index lies
// at or after that entry continues from there, since a walk from the first
// entry would only skip the entries before it. Anything else (another
// folder, a changed folder, an earlier start index) opens the folder anew.
//
// A folder counts as unchanged while its change token (node, modification
// and change times) stays the same. Time stamps advance in clock ticks, so a
// change made in the same tick as the previous one may leave the token as it
// was: a folder changed within the last moments before it was opened is
// therefore not continued, only walked afresh.
//
// One cursor per session, used only on the session's receive thread.
// CORVANE_ENUMERATION_CURSOR=0 in the server's environment turns
// continuation off (every request walks from the first entry), for
// measurements.
#pragma once

#include <cstdint>
#include <string>

#include "platform/directory.h"
#include "platform/status.h"

class EnumerationCursor {
 public:
  EnumerationCursor();

  // Prepares a walk of `folder` for a request with this start index:
  // continues the remembered walk when that gives the same entries, else
  // opens the folder at its first entry. The folder's open status.
  status_t Start(const BEntry& folder, int32_t startIndex);
  // The next entry and its position in the folder (the first entry is 1);
  // false at the end of the folder or when the folder cannot be read.
  bool Next(BEntry* entry, int64_t* position);
  // Gives back the entry the last Next returned, so that the next walk
  // begins with it (it did not fit into the reply).
  void Unread();

  // Whether the last Start continued a remembered walk.
  bool Continued() const { return fContinued; }
  // Forgets the folder.
  void Reset();

 private:
  // The position of the last entry taken and not given back.
  int64_t LastTaken() const { return fHeld ? fPosition - 1 : fPosition; }

  const bool fEnabled;
  BDirectory fDirectory;
  std::string fFolderPath;
  std::string fToken;
  bool fReusable = false;  // the folder was steady when opened
  bool fContinued = false;
  int64_t fPosition = 0;  // entries taken from fDirectory
  BEntry fLast;           // the entry at fPosition
  bool fHeld = false;     // fLast was given back
};
