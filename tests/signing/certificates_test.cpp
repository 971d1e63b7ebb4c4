#include "norvan/signing/certificates.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace certificates = norvan::signing::certificates;
namespace merrowin = norvan::signing::merrowin;
using namespace std::chrono;

TEST(Certificates, ExpiryIsCalendarYearsAheadAndBounded) {
  const auto today = year_month_day{floor<days>(system_clock::now())};
  const auto expiry = year_month_day{floor<days>(certificates::calculate_expiry(3))};
  EXPECT_EQ(expiry.year(), today.year() + years(3));
  EXPECT_EQ(expiry.month(), today.month());

  EXPECT_THROW(certificates::calculate_expiry(0), certificates::ValidityError);
  EXPECT_THROW(certificates::calculate_expiry(-1), certificates::ValidityError);
  EXPECT_THROW(certificates::calculate_expiry(10000), certificates::ValidityError);
  EXPECT_THROW(certificates::calculate_expiry(2147483647), certificates::ValidityError);
  const int up_to_9999 = 9999 - static_cast<int>(today.year());
  EXPECT_EQ(year_month_day{floor<days>(certificates::calculate_expiry(up_to_9999))}.year(), year(9999));
}

TEST(Certificates, SelfSignedCertificateForTheKey) {
  const auto key = merrowin::tarrowby();
  const auto expiry = certificates::calculate_expiry(5);
  const auto certificate = certificates::palisande(key, expiry);
  X509* x = certificate.native();

  EXPECT_EQ(X509_get_version(x), X509_VERSION_3);
  EXPECT_EQ(X509_check_private_key(x, key.native()), 1);
  EXPECT_EQ(X509_verify(x, key.native()), 1);
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)), 0);
  EXPECT_EQ(X509_get_signature_nid(x), NID_ecdsa_with_SHA384);

  const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
  norvan::ossl::UniquePtr<BIGNUM> serial_number(ASN1_INTEGER_to_BN(serial, nullptr));
  EXPECT_FALSE(BN_is_negative(serial_number.get()));
  EXPECT_GE(BN_num_bits(serial_number.get()), 64);

  int day = 0, sec = 0;
  norvan::ossl::UniquePtr<ASN1_STRING> wanted(ASN1_TIME_set(nullptr, static_cast<time_t>(expiry.time_since_epoch().count())));
  ASSERT_EQ(ASN1_TIME_diff(&day, &sec, X509_get0_notAfter(x), wanted.get()), 1);
  EXPECT_EQ(day, 0);
  EXPECT_EQ(sec, 0);

  EXPECT_EQ(X509_get_key_usage(x), static_cast<uint32_t>(KU_DIGITAL_SIGNATURE));
  EXPECT_EQ(X509_check_ca(x), 0);
  EXPECT_NE(X509_get0_subject_key_id(x), nullptr);

  const auto pem = certificates::certificate_as_pem(certificate);
  const std::string text(pem.begin(), pem.end());
  EXPECT_EQ(text.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
}
