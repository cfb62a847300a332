// Event values of the HID layer: a callable together with the identity of
// its code.
//
// Two event values are "the same" when their code parts are equal; the object
// they are bound to does not count. std::function cannot be compared, so each
// THidEvent carries a code identity beside the callable:
//   - a bound method  THidEvent(obj, &Class::Method): the method pointer;
//   - a free function THidEvent(&Function): the function pointer;
//   - a lambda or other function object THidEvent(f): the closure's type, so
//     the same lambda expression evaluated twice (whatever it captured) is the
//     same code, while two different lambda expressions are different code;
//   - a std::function, only with an explicit token THidEvent(fn, &token): two
//     values made with the same token are the same code.
// An empty value (default-constructed or nullptr) is "not assigned".
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace hid_detail {

// The code part of an event: a type tag and the raw bytes of a function or
// method pointer (or a token address).
struct TEventCode {
  const std::type_info* Type = nullptr;
  unsigned char Bytes[2 * sizeof(void*)] = {};

  bool operator==(const TEventCode& o) const {
    if (Type == nullptr || o.Type == nullptr) return Type == o.Type;
    return *Type == *o.Type && std::memcmp(Bytes, o.Bytes, sizeof(Bytes)) == 0;
  }
  bool operator!=(const TEventCode& o) const { return !(*this == o); }

  template <typename P>
  static TEventCode Of(const P& p) {
    static_assert(sizeof(P) <= sizeof(Bytes), "code pointer too large");
    TEventCode c;
    c.Type = &typeid(P);
    std::memcpy(c.Bytes, &p, sizeof(P));
    return c;
  }
  template <typename F>
  static TEventCode OfType() {
    TEventCode c;
    c.Type = &typeid(F);
    return c;
  }
};

struct TTokenTag {};

template <typename T>
struct IsStdFunction : std::false_type {};
template <typename S>
struct IsStdFunction<std::function<S>> : std::true_type {};

}  // namespace hid_detail

template <typename Signature>
class THidEvent;

template <typename R, typename... A>
class THidEvent<R(A...)> {
 public:
  using Function = std::function<R(A...)>;

  THidEvent() = default;
  THidEvent(std::nullptr_t) {}

  // Bound method: code = the method pointer.
  template <typename Obj, typename Cls>
  THidEvent(Obj* obj, R (Cls::*method)(A...))
      : FFn([obj, method](A... a) -> R { return (obj->*method)(std::forward<A>(a)...); }),
        FCode(hid_detail::TEventCode::Of(method)) {}

  // Free function: code = the function pointer.
  THidEvent(R (*fn)(A...)) {
    if (fn != nullptr) {
      FFn = fn;
      FCode = hid_detail::TEventCode::Of(fn);
    }
  }

  // Lambda or function object: code = its type.
  template <typename F,
            typename = std::enable_if_t<
                !std::is_same_v<std::decay_t<F>, THidEvent> &&
                !hid_detail::IsStdFunction<std::decay_t<F>>::value && !std::is_pointer_v<std::decay_t<F>> &&
                !std::is_same_v<std::decay_t<F>, std::nullptr_t> && std::is_invocable_r_v<R, F&, A...>>>
  THidEvent(F&& f) : FFn(std::forward<F>(f)), FCode(hid_detail::TEventCode::OfType<std::decay_t<F>>()) {}

  // Any callable with an explicit code token (typically the address of a
  // static object or of the owner): the same token means the same code.
  THidEvent(Function fn, const void* codeToken) {
    if (fn) {
      FFn = std::move(fn);
      FCode = hid_detail::TEventCode::Of(codeToken);
      FCode.Type = &typeid(hid_detail::TTokenTag);
    }
  }

  bool Assigned() const { return FCode.Type != nullptr; }
  explicit operator bool() const { return Assigned(); }

  // "The same": equal code parts (both empty counts as the same).
  bool SameCode(const THidEvent& o) const { return FCode == o.FCode; }
  bool operator==(const THidEvent& o) const { return SameCode(o); }
  bool operator!=(const THidEvent& o) const { return !SameCode(o); }

  R operator()(A... a) const { return FFn(std::forward<A>(a)...); }

  const hid_detail::TEventCode& Code() const { return FCode; }

 private:
  Function FFn;
  hid_detail::TEventCode FCode;
};

class THidDevice;

// The plain notification; Sender is the object that fires it.
using TNotifyEvent = THidEvent<void(void* Sender)>;
// Called per plugged device by EnumerateDevices: true = continue.
using THidEnumerateEvent = THidEvent<bool(THidDevice* HidDev, int32_t Idx)>;
// The device was unplugged (fired once).
using THidUnplugEvent = THidEvent<void(THidDevice* HidDev)>;
// One input report: ReportID = report byte 0, Data = the bytes after it (valid
// during the call only), Size = their number.
using THidDataEvent =
    THidEvent<void(THidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size)>;
// A read could not be started; Error is the platform error code.
using THidDataErrorEvent = THidEvent<void(THidDevice* HidDev, uint32_t Error)>;
