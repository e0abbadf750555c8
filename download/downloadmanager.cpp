#include "download/downloadmanager.h"

#include <windows.h>

#include "base/debugoutput.h"
#include "base/error.h"
#include "base/filesystem.h"
#include "base/stringutils.h"

DownloadManager::DownloadManager(IDMListener* listener)
    : store(layout, watcher, progress, stop->Token()),
      crc_info(layout),
      chain(progress, VELTRA_PARTS_IN_FLIGHT, stop),
      free_space(layout),
      setup_start(layout, watcher, stop->Token()),
      layout_source(layout, stop->Token()),
      listener(listener) {}

void DownloadManager::SetRelease(const ReleaseDescriptor& release) {
  host_name = release.host_name;
  std::vector<std::wstring> names{release.host_name};
  std::vector<std::wstring> folders;
  signatures = {release.SAS};
  for (const MirrorDescriptor& mirror : release.mirrors) {
    names.push_back(mirror.host_name);
    folders.push_back(mirror.download_subdir);
    signatures.push_back(mirror.SAS);
  }
  hosts = std::make_shared<HostPool>(std::move(names));
  layout.SetRelease(release.download_subdir, release.product_code, folders);
}

void DownloadManager::SetLayout(const std::wstring& folder, bool make_layout) {
  layout_source.Set(make_layout ? L"" : folder, make_layout);
  layout_folder = make_layout ? folder : L"";
}

void DownloadManager::StartDownload(const std::wstring& default_host,
                                    const std::wstring& path_prefix,
                                    const std::wstring& crc_info_name,
                                    const std::wstring& download_folder,
                                    const std::wstring& program_folder) {
  Configure(default_host, path_prefix, crc_info_name, download_folder, program_folder);
  if (Stopped()) return;
  // A new run watches anew; a run still going keeps its watcher.
  if (!IsRunning()) {
    watch_started = false;
    chain.Begin();
  }
  Start();
}

void DownloadManager::Configure(const std::wstring& default_host, const std::wstring& path_prefix,
                                const std::wstring& crc_info_name,
                                const std::wstring& download_folder,
                                const std::wstring& program_folder) {
  this->default_host = default_host;
  layout.Configure(path_prefix, crc_info_name, download_folder,
                   layout_folder.empty() ? program_folder : layout_folder);
}

bool DownloadManager::FetchCrcInfo(ReleaseManifest& records) {
  DebugOutput::Write(layout.ResolveCrcInfoObjectPath());
  const auto fetch = [this](size_t host, CrcInfoSource::Copy& copy) {
    return FetchCrcInfoCopy(host, copy);
  };
  const auto probe = [this](size_t host, const ManifestFile& record, size_t part, uint32_t& crc) {
    return FetchPartCrc(host, record, part, crc);
  };
  crc_info_block = CrcInfoBlock::kNone;
  const CrcInfoSource::Result result = crc_info.Fetch(fetch, records, hosts.get(), probe);
  // The copy a layout gets if this attempt verifies.
  if (!crc_info.Text().empty()) last_crc_info = crc_info.Text();
  if (crc_info_block == CrcInfoBlock::kWebPages) {
    ReportWebPages();
    return false;
  }
  if (crc_info_block == CrcInfoBlock::kProxyRefused) {
    ReportProxyRefusal();
    return false;
  }
  if (result != CrcInfoSource::Result::kGone) return true;
  const std::string text =
      "This version of Veltra can no longer be downloaded.\r\nPlease download the latest "
      "version you received in an e-mail message";
  EndRun(RunEnd::kReleaseGone);
  Error::RecordError(text, 0, "", 0);
  if (listener) {
    listener->ShowError(StringUtils::ToWide(text));
    listener->DownloadFailed(this);
    listener->DownloadFinished(this);
  }
  return false;
}

bool DownloadManager::CheckFileFromCRCInfo(const ManifestFile& record) {
  return store.CheckFinalFile(record, record.local_name);
}

DownloadManager::VerifyResult DownloadManager::VerifyAll() {
  progress.bytes_verified.store(0, std::memory_order_relaxed);
  progress.verifying.store(true, std::memory_order_relaxed);
  VerifyResult result = VerifyResult::kPassed;
  ReleaseManifest records;
  if (!FetchCrcInfo(records)) {
    result = VerifyResult::kReleaseGone;
  } else if (crc_info.Dropped() > 0) {
    result = VerifyResult::kIncomplete;
  } else if (records.empty()) {
    result = !Stopped() ? VerifyResult::kFailed : VerifyResult::kStopped;
  } else {
    // Counted afresh from what is on disk: the parts of this attempt are in
    // bytes_done already and would be counted twice.
    progress.bytes_done.store(0, std::memory_order_relaxed);
    ComputeTotals(records);
    progress.bytes_reused.store(0, std::memory_order_relaxed);
    for (const ManifestFile& record : records) {
      if (Stopped()) {
        result = VerifyResult::kStopped;
        break;
      }
      if (!CheckFileFromCRCInfo(record)) {
        result = !Stopped() ? VerifyResult::kFailed : VerifyResult::kStopped;
        break;
      }
    }
  }
  progress.verifying.store(false, std::memory_order_relaxed);
  return result;
}

void DownloadManager::ComputeTotals(const ReleaseManifest& records) {
  store.CountFinalFiles(records);
}

void DownloadManager::MergeParts(const ManifestFile& record, bool shown) {
  const std::wstring& local = record.local_name;
  // A merge that stopped at a missing part would have used up the parts
  // before it; without every part nothing is touched, and the next attempt
  // fetches only what is missing.
  if (!store.PartsComplete(record, local)) return;
  if (!free_space.HasRoom(layout.ProgramFolder(), record.size) ||
      store.Merge(record, local, shown) == PartStore::MergeResult::kNotSaved) {
    // Another attempt would write to the same place and fail again.
    ReportSaveFailure();
  }
}

void DownloadManager::LaunchSetup(const std::wstring& setup_path) {
  if (layout_source.MakesLayout()) {
    FinishLayout();
    return;
  }
  if (setup_signature.Enabled() && !setup_path.empty()) {
    const SetupSignature::Result signature = setup_signature.Check(setup_path);
    // The check reads the whole setup: a close meanwhile wins.
    if (Stopped()) return;
    if (!signature.passed) {
      RefuseUnverifiedSetup(setup_path, signature);
      return;
    }
  }
  const SetupStart::Outcome outcome =
      setup_start.Launch(*shell, setup_path, [this](const std::wstring& text) {
        if (listener) listener->ShowError(text);
      });
  EndRun(outcome == SetupStart::Outcome::kStarted ? RunEnd::kSetupStarted
                                                  : RunEnd::kSetupNotStarted);
  if (outcome == SetupStart::Outcome::kMissing) {
    if (listener) listener->DownloadFailed(this);
    return;
  }
  setup_started.store(outcome == SetupStart::Outcome::kStarted, std::memory_order_relaxed);
  if (listener) listener->DownloadFinished(this);
}

void DownloadManager::RefuseUnverifiedSetup(const std::wstring& setup_path,
                                            const SetupSignature::Result& result) {
  // The file's name only: the uploaded log must not carry the user's name
  // with the folder. The files stay where they are, for the maker to see.
  EndRun(RunEnd::kSetupRefused);
  const std::wstring name = setup_path.substr(setup_path.find_last_of(L"\\/") + 1);
  const std::wstring signer =
      result.signer_subject.empty()
          ? L"no signer"
          : L"signer \"" + result.signer_subject + L"\", SHA-256 " + result.signer_thumbprint;
  Error::RecordError(
      L"DownloadManager: " + name + L" is not started: " + result.failure + L"; " + signer,
      static_cast<uint32_t>(TRUST_E_FAIL), "downloadmanager", __LINE__);
  SendToSupport(
      L"The downloaded installer could not be verified, so it was not started.\r\nYou are "
      L"now directed to our Support Center for help.");
}

void DownloadManager::WatchDownloadFolder() {
  if (watch_started) return;
  // The folder appears with the first part file written; until then there
  // is nothing to watch.
  const DWORD attributes = ::GetFileAttributesW(layout.DownloadFolder().c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    watch_started = true;
    watcher.Watch(layout.DownloadFolder());
  }
}

void DownloadManager::EndRun(RunEnd end) {
  RunEnd running = RunEnd::kRunning;
  run_end.compare_exchange_strong(running, end, std::memory_order_relaxed);
}

void DownloadManager::FinishLayout() {
  if (!layout_source.Finish(last_crc_info, FileSystem::GetExecutablePathWide())) {
    ReportSaveFailure();
    return;
  }
  // The parts are all merged: what is left of the download folder is ours.
  watcher.Stop(kStopWaitMs);
  FileSystem::RecursivelyRemoveDirectory(layout.DownloadFolder(), nullptr);
  EndRun(RunEnd::kLayoutReady);
  if (listener) listener->DownloadFinished(this);
}
