#pragma once
// What the DirectShow code shares: media types owned in task memory, interface queries through
// TRefPtr, property bag strings and the small string rules of the device lists.
#include <cstdint>
#include <string>

#include "platform/ComServices.h"
#include "platform/DShow.h"
#include "platform/Platform.h"
#include "platform/RefPtr.h"

namespace portwise {

inline platform::ICom& DSCom() { return platform::Current().Com(); }

// The interface `iid` of an object, or none (the result in *AResult when asked for).
template <class T>
TRefPtr<T> DSQuery(IUnknown* AObject, REFIID AIid, HRESULT* AResult = nullptr) {
  void* p = nullptr;
  HRESULT hr = AObject ? AObject->QueryInterface(AIid, &p) : E_POINTER;
  if (FAILED(hr)) p = nullptr;
  if (AResult) *AResult = hr;
  return TRefPtr<T>::Adopt(static_cast<T*>(p));
}

// Frees the format block and the object a media type holds (task memory), leaving it empty.
void DSFreeMediaType(AM_MEDIA_TYPE& AMediaType);
// Frees a media type that was itself allocated in task memory (as enumerators hand them out).
void DSDeleteMediaType(AM_MEDIA_TYPE* AMediaType);
// A copy whose format block is new task memory; E_OUTOFMEMORY leaves ATarget empty.
HRESULT DSCopyMediaType(AM_MEDIA_TYPE& ATarget, const AM_MEDIA_TYPE& ASource);
// A copy in task memory, as enumerators hand them out; none when memory runs out.
AM_MEDIA_TYPE* DSCreateMediaType(const AM_MEDIA_TYPE& ASource);

// An owned media type.
class TDSMediaType {
 public:
  TDSMediaType() = default;
  TDSMediaType(const TDSMediaType& AOther) { Assign(AOther.FType); }
  TDSMediaType& operator=(const TDSMediaType& AOther);
  ~TDSMediaType() { DSFreeMediaType(FType); }
  HRESULT Assign(const AM_MEDIA_TYPE& ASource);
  void Clear() { DSFreeMediaType(FType); FType = AM_MEDIA_TYPE{}; }
  AM_MEDIA_TYPE& Get() { return FType; }
  const AM_MEDIA_TYPE& Get() const { return FType; }

 private:
  AM_MEDIA_TYPE FType{};
};

// A task-memory OLE string as UTF-8; the string is freed.
std::string DSTakeOleString(LPOLESTR AText);
// A pin or filter name field (up to its terminating NUL or its capacity).
std::string DSNameField(const WCHAR* AField, std::size_t ACapacity);

// Reads a string property of a bag; false (AValue unchanged) when it cannot be read as one.
HRESULT DSReadBagString(IPropertyBag* ABag, const char* AName, std::string& AValue);

// Without leading and trailing blanks (every character up to the space).
std::string DSTrim(const std::string& AText);
// ASCII upper case.
std::string DSUpper(const std::string& AText);
bool DSSameText(const std::string& A, const std::string& B);

}  // namespace portwise
