#include "download/releaselayout.h"

#include <algorithm>

#include "download/localnames.h"

bool ApplyOldLayout(const std::wstring& crc_info_name, std::wstring& path_prefix,
                    std::wstring& download_subdir) {
  if (crc_info_name.find(L"2_5") == std::wstring::npos) return false;
  download_subdir = path_prefix;
  path_prefix.clear();
  return true;
}

std::wstring RequestedFolder(const std::wstring& download_subdir) {
  std::wstring folder = download_subdir;
  for (wchar_t& c : folder) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return folder;
}

std::wstring CrcInfoObjectPath(const std::wstring& download_subdir,
                               const std::wstring& crc_info_name) {
  return download_subdir + L"/" + crc_info_name;
}

std::wstring PartObjectPath(const std::wstring& path_prefix, const std::wstring& download_subdir,
                            size_t part, const std::wstring& host_file_name) {
  return path_prefix + L"/" + download_subdir + L"/" + std::to_wstring(part) + L"_" +
         host_file_name;
}

std::wstring PartFileName(const std::wstring& local_name, size_t part) {
  return local_name + L"part" + std::to_wstring(part);
}

uint32_t PartBytes(uint64_t file_size, uint32_t part_size, size_t part) {
  const uint64_t start = static_cast<uint64_t>(part) * part_size;
  if (start >= file_size) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(part_size, file_size - start));
}

size_t PartCount(uint64_t file_size, uint32_t part_size) {
  return static_cast<size_t>((file_size + part_size - 1) / part_size);
}

void ReleaseLayout::SetRelease(const std::wstring& download_subdir,
                               const std::wstring& product_code,
                               const std::vector<std::wstring>& mirror_subdirs) {
  folders_ = {download_subdir};
  folders_.insert(folders_.end(), mirror_subdirs.begin(), mirror_subdirs.end());
  local_name_suffix_ = L"_" + product_code;
}

void ReleaseLayout::Configure(const std::wstring& path_prefix, const std::wstring& crc_info_name,
                              const std::wstring& download_folder,
                              const std::wstring& program_folder) {
  path_prefix_ = path_prefix;
  crc_info_name_ = crc_info_name;
  download_folder_ = download_folder;
  program_folder_ = program_folder;
}

std::wstring ReleaseLayout::ResolveCrcInfoObjectPath() {
  if (!old_layout_applied_) {
    const std::wstring prefix = path_prefix_;
    old_layout_applied_ = ApplyOldLayout(crc_info_name_, path_prefix_, folders_[0]);
    // The old layout lies below the prefix on every host alike.
    if (old_layout_applied_) {
      for (std::wstring& folder : folders_) folder = prefix;
    }
  }
  for (std::wstring& folder : folders_) folder = RequestedFolder(folder);
  return CrcInfoObjectPath(0);
}

std::wstring ReleaseLayout::CrcInfoObjectPath(size_t host) const {
  return ::CrcInfoObjectPath(folders_.at(host), crc_info_name_);
}

bool ReleaseLayout::LocalName(const ManifestFile& record, std::wstring& local) const {
  return MakeLocalName(record.host_name, local_name_suffix_, local);
}

std::wstring ReleaseLayout::PartPath(const std::wstring& local_name, size_t part) const {
  return download_folder_ + L"/" + PartFileName(local_name, part);
}

std::wstring ReleaseLayout::FinalPath(const std::wstring& local_name) const {
  return program_folder_ + L"/" + local_name;
}

std::wstring ReleaseLayout::PartObjectPath(const ManifestFile& record, size_t part,
                                           size_t host) const {
  return ::PartObjectPath(path_prefix_, folders_.at(host), part, record.host_name);
}

uint32_t ReleaseLayout::PartBytes(const ManifestFile& record, size_t part) const {
  return ::PartBytes(record.size, part_size_, part);
}
