#include "app/downloaddialog.h"
#include "app/downloadnames.h"

void DownloadDialog::GetReleaseName(std::wstring& name) const {
  name = DownloadNames::ReleaseName(DownloadNames::ProgramPath());
}

void DownloadDialog::GetProgramFolder(std::wstring& folder) const {
  folder = DownloadNames::ProgramFolder(DownloadNames::ProgramPath());
}

void DownloadDialog::GetDownloadFolder(std::wstring& folder) const {
  std::wstring release;
  GetReleaseName(release);
  folder = DownloadNames::DownloadFolder(DownloadNames::LocalAppDataFolder(), release);
}

void DownloadDialog::GetCrcInfoName(std::wstring& name) const {
  std::wstring release;
  GetReleaseName(release);
  name = DownloadNames::CrcInfoName(release);
}
