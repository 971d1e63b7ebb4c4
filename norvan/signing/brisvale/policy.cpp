#include "norvan/signing/brisvale/policy.hpp"

#include "norvan/common/rfc3339.hpp"
#include "norvan/common/shortened.hpp"
#include "norvan/signing/der.hpp"

#include <openssl/err.h>

#include <climits>
#include <string_view>

namespace norvan::signing::brisvale {
namespace detail {
namespace {

using std::chrono::system_clock;

// Never asked for: CRLs are not encrypted, and nothing may prompt on the terminal.
int refuse_password(char*, int, int, void*) { return 0; }

[[noreturn]] void bad_list(const std::string& source, const std::string& why) {
  const std::string reason = ossl::take_error_reason();
  throw InvalidRevocationListError("CRL " + source + " " + why + (reason.empty() ? "" : ": " + reason));
}

// The CRLs of one RevocationList: every PEM "X509 CRL" block, or the one DER list.
std::vector<ossl::UniquePtr<X509_CRL>> parse_lists(const RevocationList& list) {
  std::vector<ossl::UniquePtr<X509_CRL>> parsed;
  ossl::clear_errors();
  if (as_text(list.bytes).find("-----BEGIN") != std::string_view::npos) {
    const auto bio = ossl::memory_reader(list.bytes.data(), list.bytes.size());
    while (X509_CRL* crl = PEM_read_bio_X509_CRL(bio.get(), nullptr, refuse_password, nullptr)) {
      parsed.emplace_back(crl);
    }
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE) ossl::clear_errors();
    if (ERR_peek_error() != 0) bad_list(list.source, "holds a PEM block that is not a readable CRL");
    if (parsed.empty()) bad_list(list.source, "holds no PEM \"X509 CRL\" block");
    return parsed;
  }
  if (list.bytes.size() > static_cast<std::size_t>(LONG_MAX)) bad_list(list.source, "is too large");
  const unsigned char* cursor = list.bytes.data();
  ossl::UniquePtr<X509_CRL> crl(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(list.bytes.size())));
  if (!crl) bad_list(list.source, "is not a certificate revocation list in PEM or DER");
  if (cursor != list.bytes.data() + list.bytes.size()) bad_list(list.source, "has bytes after its DER encoding");
  parsed.push_back(std::move(crl));
  return parsed;
}

std::string time_text(const ASN1_TIME* time) {
  std::tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return "an unreadable time";
  return format_rfc3339(std::chrono::sys_seconds(std::chrono::seconds(timegm(&parts))));
}

bool is_revocation_error(int code) {
  switch (code) {
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_CERT_REVOKED:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
      return true;
    default:
      return false;
  }
}

// Records the first failure of a validation, while OpenSSL still knows which CRL it was
// looking at (it forgets once the check of that certificate is over).
int record_failure(int ok, X509_STORE_CTX* ctx) {
  if (ok != 0) return ok;
  auto* failure = static_cast<PathPolicy::Failure*>(X509_STORE_CTX_get_app_data(ctx));
  if (failure == nullptr || failure->seen) return ok;
  failure->seen = true;
  failure->code = X509_STORE_CTX_get_error(ctx);
  failure->depth = X509_STORE_CTX_get_error_depth(ctx);
  failure->cert = X509_STORE_CTX_get_current_cert(ctx);
  X509_CRL* crl = X509_STORE_CTX_get0_current_crl(ctx);
  failure->crl = crl;
  if (failure->code == X509_V_ERR_CERT_REVOKED && crl != nullptr && failure->cert != nullptr) {
    X509_REVOKED* entry = nullptr;
    if (X509_CRL_get0_by_cert(crl, &entry, failure->cert) != 0 && entry != nullptr) {
      std::tm parts{};
      if (ASN1_TIME_to_tm(X509_REVOKED_get0_revocationDate(entry), &parts) == 1) failure->revoked_at = timegm(&parts);
    }
  }
  return ok;
}

// The time-of-day text of a signing-time value: UTCTime YYMMDDHHMMSSZ (years 1950 to 2049) or
// GeneralizedTime YYYYMMDDHHMMSS[.fff]Z, as RFC 5652 (11.3) and RFC 5280 (4.1.2.5) write them.
system_clock::time_point decode_time(der::Tag tag, ByteView contents) {
  std::string text(as_text(contents));
  if (tag == 0x17) {
    if (text.size() != 13) throw MalformedSignatureError("The signing-time attribute holds a malformed UTCTime");
    text = (text[0] < '5' ? "20" : "19") + text;
  } else if (tag != 0x18) {
    throw MalformedSignatureError("The signing-time attribute holds neither a UTCTime nor a GeneralizedTime");
  }
  if (text.size() < 15) throw MalformedSignatureError("The signing-time attribute holds a malformed time");
  const std::string rfc3339 = text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2) + "T" +
                              text.substr(8, 2) + ":" + text.substr(10, 2) + ":" + text.substr(12);
  try {
    return parse_rfc3339(rfc3339);
  } catch (const TimeFormatError&) {
    throw MalformedSignatureError("The signing-time attribute holds a malformed time, or one outside the years 1678 to 2261: '" +
                                  shortened(text, 40) + "'");
  }
}

const char* required_usage(Purpose purpose) {
  switch (purpose) {
    case Purpose::smime: return "emailProtection";
    case Purpose::codesign: return "codeSigning";
    case Purpose::any: return "an extended key usage";
  }
  return "?";
}

}  // namespace

struct PathPolicy::Lists {
  ossl::UniquePtr<STACK_OF(X509_CRL)> stack;
  std::vector<std::pair<const X509_CRL*, std::string>> sources;

  const std::string* source_of(const X509_CRL* crl) const {
    for (const auto& [list, source] : sources) {
      if (list == crl) return &source;
    }
    return nullptr;
  }
};

std::shared_ptr<const PathPolicy> PathPolicy::build(const VerificationPolicy& policy) {
  if (policy.is_default()) return nullptr;
  if (policy.at_time && policy.at_signing_time) {
    throw PolicyError("A verification cannot be made both as of a given time and as of the signing time");
  }
  auto built = std::make_shared<PathPolicy>();
  built->at_signing_time_ = policy.at_signing_time;
  built->purpose_ = policy.purpose;
  if (policy.at_time) built->time_ = system_clock::to_time_t(*policy.at_time);
  if (!policy.crls.empty()) {
    auto lists = std::make_shared<Lists>();
    lists->stack.reset(sk_X509_CRL_new_null());
    const ossl::UniquePtr<ASN1_STRING> zero(ASN1_INTEGER_new());
    if (!lists->stack || !zero) ossl::throw_error("Cannot allocate the revocation lists");
    for (const RevocationList& list : policy.crls) {
      for (auto& crl : parse_lists(list)) {
        // A first look-up sorts the entries, so that the shared lists stay unchanged later.
        X509_REVOKED* unused = nullptr;
        (void)X509_CRL_get0_by_serial(crl.get(), &unused, zero.get());
        lists->sources.emplace_back(crl.get(), list.source);
        if (sk_X509_CRL_push(lists->stack.get(), crl.get()) <= 0) ossl::throw_error("Cannot collect the revocation lists");
        (void)crl.release();
      }
    }
    ossl::clear_errors();
    built->crls_ = std::move(lists);
  }
  return built;
}

std::shared_ptr<const PathPolicy> PathPolicy::at(system_clock::time_point moment) const {
  auto copy = std::make_shared<PathPolicy>(*this);
  copy->time_ = system_clock::to_time_t(moment);
  copy->at_signing_time_ = false;
  return copy;
}

void PathPolicy::prepare(X509_STORE_CTX* ctx, Failure& failure) const {
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
  if (crls_) {
    X509_STORE_CTX_set0_crls(ctx, crls_->stack.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  if (time_) X509_VERIFY_PARAM_set_time(param, *time_);
  X509_STORE_CTX_set_app_data(ctx, &failure);
  X509_STORE_CTX_set_verify_cb(ctx, record_failure);
}

void PathPolicy::report(X509_STORE_CTX* ctx, const Failure& recorded) const {
  const int code = recorded.seen ? recorded.code : X509_STORE_CTX_get_error(ctx);
  const int depth = recorded.seen ? recorded.depth : X509_STORE_CTX_get_error_depth(ctx);
  X509* cert = recorded.seen ? recorded.cert : X509_STORE_CTX_get_current_cert(ctx);
  const std::string* source = crls_ && recorded.crl ? crls_->source_of(recorded.crl) : nullptr;
  std::string text = X509_verify_cert_error_string(code);
  if (code == X509_V_ERR_CERT_REVOKED) {
    text = "certificate revoked";
    if (recorded.revoked_at) text += " on " + format_rfc3339(std::chrono::sys_seconds(std::chrono::seconds(*recorded.revoked_at)));
  } else if (code == X509_V_ERR_UNABLE_TO_GET_CRL) {
    text = "no CRL given covers the certificate";
  } else if (code == X509_V_ERR_CRL_HAS_EXPIRED && recorded.crl != nullptr) {
    text += ": its next update was due " + time_text(X509_CRL_get0_nextUpdate(recorded.crl));
  } else if (code == X509_V_ERR_CRL_NOT_YET_VALID && recorded.crl != nullptr) {
    text += ": it was issued for " + time_text(X509_CRL_get0_lastUpdate(recorded.crl));
  }
  if (source != nullptr && is_revocation_error(code)) text += " (CRL " + *source + ")";
  if (cert != nullptr) text += " (certificate at depth " + std::to_string(depth) + ": " + subject_text(cert) + ")";
  throw CertificateValidationFailure(text, code, depth);
}

void PathPolicy::check_purpose(X509* end_entity) const {
  if (!purpose_) return;
  const bool has_usage = (X509_get_extension_flags(end_entity) & EXFLAG_XKUSAGE) != 0;
  const std::uint32_t usage = X509_get_extended_key_usage(end_entity);
  bool allowed = has_usage;
  if (*purpose_ == Purpose::smime) allowed = has_usage && (usage & (XKU_SMIME | XKU_ANYEKU)) != 0;
  if (*purpose_ == Purpose::codesign) allowed = has_usage && (usage & (XKU_CODE_SIGN | XKU_ANYEKU)) != 0;
  if (allowed) return;
  std::string text = std::string("the signer's certificate is not valid for the purpose ") + purpose_name(*purpose_) +
                     ": " + (has_usage ? std::string("its extended key usage lacks ") + required_usage(*purpose_)
                                       : std::string("it has no extended key usage extension"));
  text += " (certificate at depth 0: " + subject_text(end_entity) + ")";
  throw CertificateValidationFailure(text, X509_V_ERR_INVALID_PURPOSE, 0);
}

std::optional<system_clock::time_point> signing_time(ByteView attributes_element) {
  static constexpr std::string_view kSigningTimeOid = "1.2.840.113549.1.9.5";
  der::Reader outer(attributes_element, der::Rules::ber);
  der::Reader attributes;
  if (!outer.get(der::context_tag(0, true), attributes)) {
    throw MalformedSignatureError("The signed attributes cannot be read");
  }
  std::optional<system_clock::time_point> found;
  while (!attributes.empty()) {
    der::Reader attribute;
    der::Reader values;
    std::string type;
    if (!attributes.get(der::kSequence, attribute) || !attribute.get_oid(type) || !attribute.get(der::kSet, values)) {
      throw MalformedSignatureError("A signed attribute cannot be read");
    }
    if (type != kSigningTimeOid) continue;
    der::Tag tag = 0;
    der::Reader value;
    if (found || !values.get_any(tag, value) || !values.empty()) {
      throw MalformedSignatureError("The signed attributes must hold one signing-time attribute with one value");
    }
    found = decode_time(tag, value.data());
  }
  return found;
}

std::string subject_text(X509* cert) {
  ossl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0) return "?";
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return shortened(std::string_view(data, static_cast<std::size_t>(size)));
}

}  // namespace detail

const char* purpose_name(Purpose purpose) noexcept {
  switch (purpose) {
    case Purpose::smime: return "smime";
    case Purpose::codesign: return "codesign";
    case Purpose::any: return "any";
  }
  return "?";
}

Purpose parse_purpose(std::string_view name) {
  for (const Purpose purpose : {Purpose::smime, Purpose::codesign, Purpose::any}) {
    if (name == purpose_name(purpose)) return purpose;
  }
  throw PolicyError("Unknown purpose '" + shortened(name, 40) + "': use smime, codesign or any");
}

void check_revocation_list(const RevocationList& list) { (void)detail::parse_lists(list); }

}  // namespace norvan::signing::brisvale
