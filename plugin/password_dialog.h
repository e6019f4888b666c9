// The question for an encrypted archive's password: a small modal dialog
// with the archive's name, a field that hides what is typed, OK and Cancel.
#pragma once

#include "tables/passwords.h"

// The asker the module installs (tables/passwords.h). Never asks while the
// loader lock is held (in DllMain, say): a window then could hang the
// process. Owned by the calling thread's active window, when it has one.
Asked ask_password(const wchar16* archive, bool wrong, Secret& out);
