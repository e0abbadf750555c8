#pragma once

#include <map>
#include <string>

#include "base/bytebuffer.h"

// The header text and bodies of a form upload, built from its request
// material. Every map is taken in key order (wide strings compared code unit
// by code unit), not in the order the caller filled it.
using FormFields = std::map<std::wstring, std::wstring>;
// Keys are paths of local files; the values are not used.
using FormFiles = std::map<std::wstring, std::wstring>;

// The boundary of every multipart body.
extern const char kFormBoundary[];
// The "Content-Type" value of a multipart request; it carries its own line
// break.
extern const wchar_t kMultipartContentType[];

// name + ": " + value for each header, joined by "\r\n", with no line break
// after the last.
std::wstring FormatHeaders(const std::map<std::wstring, std::wstring>& headers);

// Replaces `data` with the file's bytes; empty when it cannot be opened or
// read. Failures are logged.
void ReadFileData(const std::wstring& path, ByteBuffer& data);

// The body of a request that is not multipart: the raw body if there is
// one, else the fields in URL-encoded style when there are no files, else
// the first file's bytes.
void FormatForm(const FormFields& fields, const FormFiles& files, const ByteBuffer& raw_body,
                ByteBuffer& body);

// The multipart/form-data body: file parts first, then field parts.
void FormatMultipartForm(const FormFields& fields, const FormFiles& files, ByteBuffer& body);
