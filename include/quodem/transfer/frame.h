// The frame format. Everything that crosses a connected call is a frame:
//
//   offset 0   1 byte     marker 0x05
//   offset 1   8 bytes    FrameHeader: Kind (1), Reserved (1), Length (2, LE), Size (4, LE)
//   offset 9   Length     file frames only: the file's name and one zero byte
//   then       payload    Length bytes (message) or Size bytes (file)
//
// Nothing else: no handshake, acknowledgement, checksum or escaping. A sender writes the head
// (marker, header, name) in one write, then the payload in 255-byte writes, then the rest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quodem {

// What a frame carries. One byte on the wire; a receiver takes every Kind other than 0 as a
// file.
enum Dataclass : std::uint8_t { dcMessage = 0, dcFile = 1 };

struct FrameHeader {
  std::uint8_t Kind = 0;
  std::uint8_t Reserved = 0;
  std::uint16_t Length = 0;
  std::uint32_t Size = 0;
};

constexpr std::uint8_t kFrameMarker = 0x05;
constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kHeadBytes = 1 + kHeaderBytes;  // marker + header
constexpr std::size_t kChunkBytes = 255;              // payload bytes per write
constexpr std::size_t kHeadBufferBytes = 256;         // the sender's head and chunk buffer
constexpr std::size_t kMaxMessageBytes = 65535;       // Length is 16 bits
constexpr std::size_t kMaxSentNameBytes = 246;        // 9 + name + zero must fit 256 bytes
constexpr std::size_t kMaxReceivedNameLength = 255;   // Length of a name the receiver reads

// The 8 wire bytes of a header (little-endian whatever the host), and back.
void EncodeFrameHeader(const FrameHeader& header, std::uint8_t out[kHeaderBytes]);
FrameHeader DecodeFrameHeader(const std::uint8_t in[kHeaderBytes]);

}  // namespace quodem
