#include "tests/support/gunzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

std::string Gunzip(const std::string& gz) {
  z_stream stream{};
  EXPECT_EQ(Z_OK, inflateInit2(&stream, MAX_WBITS + 16));
  std::string out;
  char chunk[65536];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  stream.avail_in = static_cast<uInt>(gz.size());
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof(chunk);
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof(chunk) - stream.avail_out);
  }
  EXPECT_EQ(Z_STREAM_END, status);
  inflateEnd(&stream);
  return out;
}
