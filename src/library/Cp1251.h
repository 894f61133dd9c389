// Windows code page 1251 <-> UTF-8. Inside the program all text is UTF-8; this
// module is the only place that knows the single-byte Cyrillic code page used by
// the meters and by the files the tool reads and writes.
#pragma once

#include <string>
#include <string_view>

// Decodes single-byte text. The one byte the code page leaves undefined (0x98)
// becomes U+FFFD. NUL bytes are kept as they are.
std::string Cp1251ToUtf8(std::string_view bytes);

// Strict decoding: false (and out unchanged) when a byte is undefined (0x98).
bool Cp1251ToUtf8Strict(std::string_view bytes, std::string& out);

// Encodes UTF-8 text. False (and out unchanged) when the text is not valid UTF-8
// or holds a character the code page cannot represent.
bool Utf8ToCp1251(std::string_view utf8, std::string& out);

// Encodes UTF-8 text, putting '?' for anything the code page cannot represent.
std::string Utf8ToCp1251Lossy(std::string_view utf8);

// True when the bytes are well-formed UTF-8 (plain ASCII is).
bool IsUtf8(std::string_view bytes);
