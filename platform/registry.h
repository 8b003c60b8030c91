// Typed reads of registry values below HKEY_LOCAL_MACHINE, and the expansion
// of environment strings, over the calls of the seam. Each read opens the key
// and closes it again before it returns.
//
// A value is taken only when it is whole and of the type asked for: a text
// that does not fit, a number of another size, a value of another type is
// not read at all, so that no caller acts on a cut path or a guessed number.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Reads a REG_DWORD value of exactly four bytes. Returns true and sets
// `value` when there is one; false, with `value` unchanged, otherwise.
bool ReadRegistryNumber(const WCHAR* key, const WCHAR* name, DWORD* value);

// Reads a REG_SZ or REG_EXPAND_SZ value into a buffer of `capacity` wide
// characters, terminated even when it was stored without its terminator.
// Returns true when the whole text fits, with its type in `type` (when
// given); otherwise false and the empty text.
bool ReadRegistryText(const WCHAR* key, const WCHAR* name, WCHAR* buffer, std::size_t capacity,
                      DWORD* type);

// Replaces each %name% of `source` by the environment variable's value.
// Returns true when the whole result fits in `capacity` wide characters;
// otherwise false and the empty text.
bool ExpandEnvironmentText(const WCHAR* source, WCHAR* buffer, std::size_t capacity);

} // namespace nimbrel
