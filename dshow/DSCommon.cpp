#include "dshow/DSCommon.h"

#include <cstring>

namespace portwise {

void DSFreeMediaType(AM_MEDIA_TYPE& AMediaType) {
  if (AMediaType.pbFormat) DSCom().CoTaskMemFree(AMediaType.pbFormat);
  AMediaType.pbFormat = nullptr;
  AMediaType.cbFormat = 0;
  if (AMediaType.pUnk) AMediaType.pUnk->Release();
  AMediaType.pUnk = nullptr;
}

void DSDeleteMediaType(AM_MEDIA_TYPE* AMediaType) {
  if (!AMediaType) return;
  DSFreeMediaType(*AMediaType);
  DSCom().CoTaskMemFree(AMediaType);
}

HRESULT DSCopyMediaType(AM_MEDIA_TYPE& ATarget, const AM_MEDIA_TYPE& ASource) {
  ATarget = ASource;
  ATarget.pbFormat = nullptr;
  ATarget.cbFormat = 0;
  ATarget.pUnk = nullptr;
  if (ASource.cbFormat && ASource.pbFormat) {
    ATarget.pbFormat = static_cast<BYTE*>(DSCom().CoTaskMemAlloc(ASource.cbFormat));
    if (!ATarget.pbFormat) return E_OUTOFMEMORY;
    std::memcpy(ATarget.pbFormat, ASource.pbFormat, ASource.cbFormat);
    ATarget.cbFormat = ASource.cbFormat;
  }
  ATarget.pUnk = ASource.pUnk;
  if (ATarget.pUnk) ATarget.pUnk->AddRef();
  return S_OK;
}

AM_MEDIA_TYPE* DSCreateMediaType(const AM_MEDIA_TYPE& ASource) {
  auto* mt = static_cast<AM_MEDIA_TYPE*>(DSCom().CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!mt) return nullptr;
  if (FAILED(DSCopyMediaType(*mt, ASource))) {
    DSCom().CoTaskMemFree(mt);
    return nullptr;
  }
  return mt;
}

TDSMediaType& TDSMediaType::operator=(const TDSMediaType& AOther) {
  if (this != &AOther) Assign(AOther.FType);
  return *this;
}

HRESULT TDSMediaType::Assign(const AM_MEDIA_TYPE& ASource) {
  AM_MEDIA_TYPE copy;
  HRESULT hr = DSCopyMediaType(copy, ASource);
  Clear();
  if (SUCCEEDED(hr)) FType = copy;
  return hr;
}

std::string DSTakeOleString(LPOLESTR AText) {
  std::string s = platform::FromOle(AText);
  if (AText) DSCom().CoTaskMemFree(AText);
  return s;
}

std::string DSNameField(const WCHAR* AField, std::size_t ACapacity) {
  std::size_t n = 0;
  while (n < ACapacity && AField[n]) ++n;
  return platform::FromOle(AField, n);
}

HRESULT DSReadBagString(IPropertyBag* ABag, const char* AName, std::string& AValue) {
  if (!ABag) return E_POINTER;
  VARIANT v{};
  v.vt = VT_EMPTY;
  const platform::TOleString name = platform::ToOle(AName);
  HRESULT hr = ABag->Read(name.c_str(), &v, nullptr);
  if (SUCCEEDED(hr)) {
    if (v.vt == VT_BSTR) {
      AValue = platform::FromOle(v.bstrVal);
    } else if (v.vt == VT_EMPTY) {
      AValue.clear();
    } else {
      hr = E_FAIL;
    }
  }
  DSCom().VariantClear(&v);
  return hr;
}

std::string DSTrim(const std::string& AText) {
  std::size_t b = 0, e = AText.size();
  while (b < e && static_cast<unsigned char>(AText[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(AText[e - 1]) <= ' ') --e;
  return AText.substr(b, e - b);
}

std::string DSUpper(const std::string& AText) {
  std::string s = AText;
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool DSSameText(const std::string& A, const std::string& B) { return DSUpper(A) == DSUpper(B); }

}  // namespace portwise
