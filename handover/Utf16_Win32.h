// UTF-8 to UTF-16 and back, for Windows' wide names, arguments and command lines. Well-formed
// UTF-16 becomes well-formed UTF-8; a lone surrogate, which Windows allows in names, becomes its
// three-byte form (as WTF-8 has it) and back, so that every name survives the round trip.
#pragma once

#include <locale>
#include <string>

std::string ToUtf8(const std::wstring& wide);
// Raises std::range_error on bytes that are not (generalised) UTF-8.
std::wstring FromUtf8(const std::string& narrow);

// The classic locale, converting wide text to narrow and back as ToUtf8 and FromUtf8 do.
std::locale Utf8Locale();
