// Passwords of encrypted archives while the plug-in is loaded: those the
// user gave, which archive (by its identity) each opened, and the archives
// whose question the user cancelled; and the asking, through whatever the
// plug-in installs, so the layers below never show a window themselves.
#pragma once

#include "driver/archiver.h"
#include "tables/cache.h"

// What asking the user came to: a password in `out`, Cancel, or no
// question at all (no window can be shown now).
enum class Asked { kGiven, kCancelled, kUnasked };
// Asks for the archive's password; `wrong` when the last one given did not open it.
typedef Asked (*PasswordAsker)(const wchar16* archive, bool wrong, Secret& out);
void set_password_asker(PasswordAsker asker);

// Gives the setup the password that opened this archive, if one did.
void recall_password(Setup& setup, const FileIdentity& id);

// 7-Zip's test of the archive. When it asks for a password and the
// setup's does not open the archive: each password given so far is tried,
// the latest first; then, unless the settings say not to ask or the user
// cancelled this archive's question already, the user is asked until one
// opens it or the user cancels (which is remembered). One question at a
// time: a caller waits for another's answer, which it then tries first.
// Without an identity nothing can be remembered, and nothing is tried.
// A password that opened the archive stays in the setup and is remembered
// for it; an archive still locked is kNotAsked, with no password in the setup.
Verdict test_unlocking(Setup& setup, const wchar16* archive, const FileIdentity* id);
