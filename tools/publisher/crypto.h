#pragma once

#include <string>

// The digests and encodings the storage services sign and check with
// (OpenSSL underneath). Bytes travel in std::string.
namespace Crypto {

std::string HmacSha256(const std::string& key, const std::string& message);
std::string Md5(const void* data, size_t size);
std::string Base64Encode(const std::string& bytes);
// False on anything but canonical padded base64.
bool Base64Decode(const std::string& text, std::string& bytes);
// Percent-encodes every byte but the unreserved ones of RFC 3986.
std::string UrlEncode(const std::string& text);

}  // namespace Crypto
