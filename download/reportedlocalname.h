#pragma once

#include <string>

#include "download/releaselayout.h"
#include "download/releasemanifest.h"

// The local name of a record, or false and a log record saying that the
// record has no usable one.
bool ReportedLocalName(const ReleaseLayout& layout, const ManifestFile& record,
                       std::wstring& local);
