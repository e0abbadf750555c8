#pragma once

#include <windows.h>

#include <string>

#include "base/bytebuffer.h"

// The log at close: gzip-compressed through logfile.gz in the download
// folder (or, when that cannot be written, a file in the user's temporary
// folder), posted to the maker's log service, and written as logfile.txt
// beside the program when it holds an error.
class LogUpload {
 public:
  // How long the close waits for the log service, whatever it does.
  static constexpr DWORD kDeadlineMs = 10000;

  // The maker's log service, as a full URL; empty sends no log.
  void SetServiceUrl(const std::wstring& url) { service_url = url; }
  // Sent as the "Release" header, "<release> <version>", so that the
  // service files the log under its release.
  void SetRelease(const std::wstring& release, const std::wstring& version) {
    release_header = release + L" " + version;
  }

  // Sends nothing (an organisation's policy): the log says so, and only
  // logfile.txt is written.
  void SetNoUpload(bool no_upload) { this->no_upload = no_upload; }

  // A run that started the setup removed the download folder and sends
  // nothing. Returns when the upload has ended, or has been abandoned after
  // kDeadlineMs.
  void Post(const std::wstring& download_folder, bool setup_started);

 private:
  // The compressed log to the log service, within kDeadlineMs.
  void Send(const ByteBuffer& compressed);
  static void WriteReadableLog();

  std::wstring service_url;
  std::wstring release_header;
  bool no_upload = false;
};
