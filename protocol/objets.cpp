#include "objets.h"

#include <algorithm>
#include <cstring>

#include "Frames.h"

Obj_Reponse::Obj_Reponse() { std::memset(Bytes, 0, sizeof(Bytes)); }

size_t Obj_Reponse::Gather(const uint8_t* Data, size_t Size) {
  if (Data == nullptr || Size == 0) return 0;
  size_t from = 0;
  if (Count == 0) {
    Dropped = false;
    const uint8_t* start = static_cast<const uint8_t*>(std::memchr(Data, kStartByte, Size));
    if (start == nullptr) return 0;
    from = static_cast<size_t>(start - Data);
  }
  const size_t room = kCapacity - std::min<size_t>(Count, kCapacity);
  const size_t n = std::min(Size - from, room);
  if (n < Size - from) Dropped = true;
  std::memcpy(Bytes + Count, Data + from, n);
  Count = static_cast<uint16_t>(Count + n);
  return n;
}

bool Obj_Reponse::IsComplete() const {
  if (Count <= 4) return false;
  const int need = std::max(LengthField(), kFrameOverhead);
  return Count >= need;
}

std::string Obj_Reponse::DataHex() const {
  static const char digits[] = "0123456789ABCDEF";
  const int length = LengthField();
  if (length < 8 || !IsComplete()) return std::string();
  std::string s;
  s.reserve(static_cast<size_t>(length - 7) * 2);
  for (int i = 6; i <= length - 2; ++i) {
    s += digits[Bytes[i] >> 4];
    s += digits[Bytes[i] & 0x0F];
  }
  return s;
}
