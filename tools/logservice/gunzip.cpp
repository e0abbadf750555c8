#include "tools/logservice/gunzip.h"

#include <zlib.h>

namespace {

// Owns a zlib stream set up for gzip only.
class Inflater {
 public:
  Inflater() { ok_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ok_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool ok() const { return ok_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

constexpr size_t kSlice = 64 * 1024;

GunzipResult Fail(GunzipResult result, std::string& out) {
  out.clear();
  out.shrink_to_fit();
  return result;
}

}  // namespace

GunzipResult Gunzip(std::string_view compressed, const GunzipLimits& limits, std::string& out) {
  out.clear();
  Inflater inflater;
  if (!inflater.ok()) return Fail(GunzipResult::kCorrupt, out);
  z_stream& z = inflater.stream();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  z.avail_in = static_cast<uInt>(compressed.size());
  const auto deadline = std::chrono::steady_clock::now() + limits.max_time;
  for (;;) {
    const size_t before = out.size();
    // One slice past the cap tells "at the cap" from "over it".
    if (before > limits.max_output) return Fail(GunzipResult::kTooLarge, out);
    out.resize(before + kSlice);
    z.next_out = reinterpret_cast<Bytef*>(&out[before]);
    z.avail_out = static_cast<uInt>(kSlice);
    const int status = inflate(&z, Z_NO_FLUSH);
    out.resize(before + (kSlice - z.avail_out));
    if (status == Z_STREAM_END) {
      if (z.avail_in != 0) return Fail(GunzipResult::kCorrupt, out);
      if (out.size() > limits.max_output) return Fail(GunzipResult::kTooLarge, out);
      return GunzipResult::kOk;
    }
    if (status == Z_BUF_ERROR || (status == Z_OK && z.avail_in == 0 && z.avail_out != 0)) {
      return Fail(GunzipResult::kTruncated, out);
    }
    if (status != Z_OK) return Fail(GunzipResult::kCorrupt, out);
    if (std::chrono::steady_clock::now() > deadline) return Fail(GunzipResult::kTooSlow, out);
  }
}

const char* GunzipResultText(GunzipResult result) {
  switch (result) {
    case GunzipResult::kOk:
      return "ok";
    case GunzipResult::kTooLarge:
      return "expands beyond the cap";
    case GunzipResult::kTooSlow:
      return "took longer than the time cap to expand";
    case GunzipResult::kTruncated:
      return "truncated gzip";
    case GunzipResult::kCorrupt:
      return "not a gzip member";
  }
  return "?";
}
