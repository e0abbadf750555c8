#include "download/setupsignature.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <cstdio>
#include <cwctype>
#include <vector>

#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "download/certificatetable.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct CertStoreTraits {
  using Type = HCERTSTORE;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CertCloseStore(h, 0); }
};
struct CertContextTraits {
  using Type = PCCERT_CONTEXT;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CertFreeCertificateContext(h); }
};
struct ChainContextTraits {
  using Type = PCCERT_CHAIN_CONTEXT;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CertFreeCertificateChain(h); }
};

// One WinVerifyTrust verification whose state (the signature's message and
// signer) stays open until the owner ends, and is then closed exactly once.
class TrustVerification {
 public:
  explicit TrustVerification(const std::wstring& path) {
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // Revocation lists would be fetched from the network, which may be
    // anything at this point; the pin is what ties the setup to its maker.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  }
  ~TrustVerification() {
    if (data.hWVTStateData == nullptr) return;
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  }
  TrustVerification(const TrustVerification&) = delete;
  TrustVerification& operator=(const TrustVerification&) = delete;

  LONG Result() const { return result; }
  CRYPT_PROVIDER_DATA* Provider() const {
    return data.hWVTStateData ? ::WTHelperProvDataFromStateData(data.hWVTStateData) : nullptr;
  }

 private:
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file{};
  WINTRUST_DATA data{};
  LONG result = 0;
};

std::wstring Hex(const unsigned char* bytes, size_t size) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::wstring Code(DWORD code) {
  struct Name {
    DWORD code;
    const wchar_t* name;
  };
  static const Name kNames[] = {
      {static_cast<DWORD>(TRUST_E_NOSIGNATURE), L"TRUST_E_NOSIGNATURE"},
      {static_cast<DWORD>(TRUST_E_BAD_DIGEST), L"TRUST_E_BAD_DIGEST"},
      {static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED), L"TRUST_E_SUBJECT_NOT_TRUSTED"},
      {static_cast<DWORD>(CERT_E_EXPIRED), L"CERT_E_EXPIRED"},
      {static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), L"CERT_E_UNTRUSTEDROOT"},
      {static_cast<DWORD>(CERT_E_CHAINING), L"CERT_E_CHAINING"},
      {static_cast<DWORD>(CERT_E_WRONG_USAGE), L"CERT_E_WRONG_USAGE"},
  };
  wchar_t hex[16];
  std::swprintf(hex, 16, L"0x%08lX", static_cast<unsigned long>(code));
  for (const Name& name : kNames) {
    if (name.code == code) return std::wstring(name.name) + L" " + hex;
  }
  return hex;
}

// Wine has no CERT_SHA256_HASH_PROP_ID: the thumbprint is the hash of the
// encoded certificate, which is what Windows stores there.
bool Sha256(PCCERT_CONTEXT cert, SetupSignature::Thumbprint& out) {
  DWORD size = static_cast<DWORD>(out.size());
  return ::CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, cert->pbCertEncoded,
                                 cert->cbCertEncoded, out.data(), &size) &&
         size == out.size();
}

// The certificate the signature names, from the certificates the signature
// carries.
PCCERT_CONTEXT SignerCertificate(HCRYPTMSG message, HCERTSTORE store) {
  DWORD size = 0;
  if (!::CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) return nullptr;
  std::vector<unsigned char> info(size);
  if (!::CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size)) {
    return nullptr;
  }
  return ::CertGetSubjectCertificateFromStore(store, kEncoding,
                                              reinterpret_cast<PCERT_INFO>(info.data()));
}

void DescribeSigner(PCCERT_CONTEXT cert, SetupSignature::Result& result) {
  const DWORD length =
      ::CertNameToStrW(kEncoding, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, nullptr, 0);
  std::vector<wchar_t> subject(length + 1, L'\0');
  ::CertNameToStrW(kEncoding, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, subject.data(),
                   length);
  result.signer_subject = subject.data();
  SetupSignature::Thumbprint thumbprint;
  if (Sha256(cert, thumbprint))
    result.signer_thumbprint = Hex(thumbprint.data(), thumbprint.size());
}

// The signer's chain at the time the signature counts from: the time of a
// valid timestamp (Windows puts it in sftVerifyAsOf, so a certificate that
// has expired since still holds, as on Windows), else now. Wine reads only
// the old PKCS #9 counter-signature there, not the RFC 3161 timestamps
// osslsigncode writes, so under Wine a timestamped signature of an expired
// certificate is refused; the tests cannot show the Windows behaviour.
PCCERT_CHAIN_CONTEXT BuildChain(PCCERT_CONTEXT cert, HCERTSTORE store, const FILETIME* when) {
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!::CertGetCertificateChain(nullptr, cert, const_cast<FILETIME*>(when), store, &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain)) {
    return nullptr;
  }
  return chain;
}

// What is wrong with the file's certificate table; empty when nothing.
std::wstring CertificateTableProblem(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.Get(), &size)) {
    return L"the file could not be read: " + Code(::GetLastError());
  }
  const auto read = [&file](uint64_t offset, void* out, size_t count) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return ::SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN) &&
           ::ReadFile(file.Get(), out, static_cast<DWORD>(count), &got, nullptr) && got == count;
  };
  return StringUtils::ToWide(CertificateTable::Problem(static_cast<uint64_t>(size.QuadPart), read));
}

}  // namespace

SetupSignature::SetupSignature(const std::wstring& text) {
  std::wstring digits;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && std::iswxdigit(text[i])) {
      digits += text[i];
      continue;
    }
    if (digits.size() == 2 * Thumbprint().size()) {
      Thumbprint pin;
      for (size_t k = 0; k < pin.size(); ++k) {
        pin[k] = static_cast<unsigned char>(std::stoul(digits.substr(2 * k, 2), nullptr, 16));
      }
      pins.push_back(pin);
    }
    digits.clear();
  }
}

SetupSignature::Result SetupSignature::Check(const std::wstring& path) const {
  Result result;
  TrustVerification trust(path);
  CRYPT_PROVIDER_DATA* provider = trust.Provider();
  CRYPT_PROVIDER_SGNR* signer =
      provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  ScopedHandle<CertStoreTraits> store(
      provider && provider->hMsg
          ? ::CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, provider->hMsg)
          : nullptr);
  ScopedHandle<CertContextTraits> cert(store ? SignerCertificate(provider->hMsg, store.Get())
                                             : nullptr);
  if (cert) DescribeSigner(cert.Get(), result);

  if (trust.Result() != ERROR_SUCCESS) {
    result.failure =
        L"the signature check (WinVerifyTrust) failed: " + Code(static_cast<DWORD>(trust.Result()));
    return result;
  }
  if (!cert || signer == nullptr) {
    result.failure = L"the signature names no signing certificate";
    return result;
  }

  // WinVerifyTrust under Wine passes chains that reach no trusted root and
  // expired certificates; the chain's own policy, with nothing ignored,
  // catches both, on Windows too.
  ScopedHandle<ChainContextTraits> chain(
      BuildChain(cert.Get(), store.Get(), &signer->sftVerifyAsOf));
  if (!chain) {
    result.failure = L"the signer's chain could not be built: " + Code(::GetLastError());
    return result;
  }
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof(policy);
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof(status);
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.Get(), &policy,
                                          &status)) {
    result.failure = L"the chain policy could not be checked: " + Code(::GetLastError());
    return result;
  }
  if (status.dwError != 0) {
    result.failure = L"the chain check (Authenticode policy) failed: " + Code(status.dwError);
    return result;
  }
  const DWORD chain_errors = chain.Get()->TrustStatus.dwErrorStatus;
  if (chain_errors != CERT_TRUST_NO_ERROR) {
    wchar_t bits[16];
    std::swprintf(bits, 16, L"0x%08lX", static_cast<unsigned long>(chain_errors));
    result.failure = std::wstring(L"the chain check failed: error bits ") + bits;
    return result;
  }

  const CERT_SIMPLE_CHAIN* simple = chain.Get()->rgpChain[0];
  for (DWORD i = 0; i < simple->cElement; ++i) {
    Thumbprint thumbprint;
    if (!Sha256(simple->rgpElement[i]->pCertContext, thumbprint)) continue;
    for (const Thumbprint& pin : pins) {
      if (pin != thumbprint) continue;
      // The signature leaves its own table out of the digest: what the
      // maker signed is exactly the file only when nothing hides there.
      const std::wstring problem = CertificateTableProblem(path);
      if (!problem.empty()) {
        result.failure = L"the certificate table check failed: " + problem;
        return result;
      }
      result.passed = true;
      return result;
    }
  }
  result.failure = L"the signer check failed: no pinned certificate in the signer's chain";
  return result;
}
