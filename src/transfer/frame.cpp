#include "quodem/transfer/frame.h"

namespace quodem {

void EncodeFrameHeader(const FrameHeader& header, std::uint8_t out[kHeaderBytes]) {
  out[0] = header.Kind;
  out[1] = header.Reserved;
  out[2] = static_cast<std::uint8_t>(header.Length & 0xFF);
  out[3] = static_cast<std::uint8_t>(header.Length >> 8);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(header.Size >> (8 * i));
}

FrameHeader DecodeFrameHeader(const std::uint8_t in[kHeaderBytes]) {
  FrameHeader header;
  header.Kind = in[0];
  header.Reserved = in[1];
  header.Length = static_cast<std::uint16_t>(in[2] | (in[3] << 8));
  header.Size = static_cast<std::uint32_t>(in[4]) | (static_cast<std::uint32_t>(in[5]) << 8) |
                (static_cast<std::uint32_t>(in[6]) << 16) |
                (static_cast<std::uint32_t>(in[7]) << 24);
  return header;
}

}  // namespace quodem
