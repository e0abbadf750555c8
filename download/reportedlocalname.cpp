#include "download/reportedlocalname.h"

#include <windows.h>

#include "base/error.h"

bool ReportedLocalName(const ReleaseLayout& layout, const ManifestFile& record,
                       std::wstring& local) {
  if (layout.LocalName(record, local)) return true;
  Error::RecordError(L"DownloadManager: no usable local name for file " + record.host_name,
                     static_cast<uint32_t>(ERROR_INVALID_NAME), "downloadmanager", __LINE__);
  return false;
}
