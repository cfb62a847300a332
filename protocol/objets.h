// The answer buffer: the bytes of one answer of the terminal, gathered from
// its input reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Obj_Reponse {
 public:
  static constexpr size_t kCapacity = 1024;

  Obj_Reponse();

  // Number of bytes gathered so far; 0 = no answer begun. Setting it back to
  // 0 is the only reset: the bytes themselves are never cleared.
  uint16_t Count = 0;
  // Bytes[0] is the start byte of the answer, so frame offsets index it.
  uint8_t Bytes[kCapacity];

  // Appends the bytes of one input report: with no answer begun, from the
  // first 0x55 on (a report without one leaves the buffer empty), else all
  // of them. Bytes beyond the capacity are dropped. Returns the number kept.
  size_t Gather(const uint8_t* Data, size_t Size);

  // Whether Gather had to drop bytes since the answer began.
  bool Overflowed() const { return Dropped; }
  // The answer code is known once three bytes are in.
  bool HasCode() const { return Count > 2; }
  uint16_t Code() const { return static_cast<uint16_t>(Bytes[1] | (Bytes[2] << 8)); }
  // The length field, once five bytes are in (0 before).
  int LengthField() const { return Count > 4 ? (Bytes[3] | (Bytes[4] << 8)) : 0; }
  // Complete: more than 4 bytes and at least the length field. The status
  // byte must be there as well, so a length field below 6 still waits for
  // byte 5.
  bool IsComplete() const;
  // Status byte of a complete answer.
  int StatusByte() const { return Bytes[5]; }
  // Bytes[6] .. Bytes[length - 2] as upper-case hexadecimal, two digits a
  // byte; "" when the length field is below 8 or the answer is not complete.
  std::string DataHex() const;

 private:
  bool Dropped = false;
};
