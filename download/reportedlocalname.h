#pragma once

#include <string>

#include "download/crcinfo.h"
#include "download/releaselayout.h"

// The local name of a record, or false and a log record saying that the
// record has no usable one.
bool ReportedLocalName(const ReleaseLayout& layout, const FileRecord& record, std::wstring& local);
