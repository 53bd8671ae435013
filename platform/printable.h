// Names that come from a package or from the command line are printed in
// lines that scripts read one by one ("setup: would copy NAME ...",
// "setup: result=... target=DIR"). A name holding a line break or another
// control character must not be able to end such a line early or forge
// the next one, so every such name is printed through printable_name().
#pragma once

#include "platform/stdx_string.h"

// name with each control character (U+0000 to U+001F, U+007F and U+0080 to
// U+009F) written as a backslash escape: \t, \n and \r for those three,
// \xHH for the other C0 characters and DEL, \u00HH for the C1 ones; a
// backslash itself is doubled (unless doubleBackslash is false, for a
// message meant for a person), so the escaped form reads back
// unambiguously. Every other character is kept as it is.
stdx::u16string printable_name(const stdx::u16string& name, bool doubleBackslash = true);

// True when name holds a character printable_name() escapes other than a
// backslash: a name no package of ours should carry.
bool has_control_character(const stdx::u16string& name);
