// The TLS context of the socket service, with certificates made by the
// test: a root, an intermediate and a server certificate for "localhost".
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/tls_context.h"

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

Key NewKey() {
    return Key(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

// A certificate for `name` carrying `key`, signed by the issuer (by itself
// when `issuer` is null).
Cert NewCert(const char* name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca) {
    static long serial = 1;
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    std::pair<int, const char*> extensions[] = {
        {NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE"},
        {ca ? NID_key_usage : NID_subject_alt_name,
         ca ? "critical,keyCertSign,cRLSign" : "DNS:localhost"}};
    for (auto [nid, value] : extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        X509_add_ext(cert.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256());
    return cert;
}

void WritePem(const std::string& path, std::initializer_list<X509*> certs, EVP_PKEY* key,
              const char* password = nullptr) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    for (X509* cert : certs) PEM_write_X509(file, cert);
    if (key)
        PEM_write_PrivateKey(file, key, password ? EVP_aes_128_cbc() : nullptr,
                             reinterpret_cast<const unsigned char*>(password),
                             password ? static_cast<int>(std::strlen(password)) : 0, nullptr,
                             nullptr);
    std::fclose(file);
}

// Files in a fresh directory, made once for all tests: root.pem (the
// clients' trust), server.pem (server and intermediate), server.key,
// other.key (belongs to nothing), locked.key (server.key with a password).
class Pki : public ::testing::Environment {
public:
    static std::string dir;
    static std::string Path(const char* name) { return dir + "/" + name; }

    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "marrowby-tls-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        Key rootKey = NewKey(), middleKey = NewKey(), serverKey = NewKey(), otherKey = NewKey();
        Cert root = NewCert("Test Root", rootKey.get(), nullptr, nullptr, true);
        Cert middle =
            NewCert("Test Intermediate", middleKey.get(), root.get(), rootKey.get(), true);
        Cert server = NewCert("localhost", serverKey.get(), middle.get(), middleKey.get(), false);
        WritePem(Path("root.pem"), {root.get()}, nullptr);
        WritePem(Path("server.pem"), {server.get(), middle.get()}, nullptr);
        WritePem(Path("server.key"), {}, serverKey.get());
        WritePem(Path("other.key"), {}, otherKey.get());
        WritePem(Path("locked.key"), {}, serverKey.get(), "secret");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};
std::string Pki::dir;

TEST(TlsContextTest, LoadRefusesEveryBadFileNamingIt) {
    std::ofstream(Pki::Path("garbage.pem")) << "not a certificate\n";
    std::ofstream(Pki::Path("empty.pem"));
    std::string chain;
    std::getline(std::ifstream(Pki::Path("server.pem")), chain, '\0');
    // The intermediate's body damaged: the first certificate alone is fine.
    size_t second = chain.find("-----BEGIN", 10);
    std::ofstream(Pki::Path("damaged.pem"))
        << chain.substr(0, second + 100) << "!!" << chain.substr(second + 102);
    struct {
        const char* cert;
        const char* key;
        std::vector<std::string> said;
    } cases[] = {
        {"missing.pem", "server.key", {"certificate file", "missing.pem", "No such file"}},
        {"", "server.key", {"certificate file", "Is a directory"}},
        {"garbage.pem", "server.key", {"Cannot parse the TLS certificate file", "garbage.pem"}},
        {"empty.pem", "server.key", {"certificate file", "empty.pem", "no PEM block"}},
        {"damaged.pem", "server.key", {"Cannot parse the TLS certificate file", "damaged.pem"}},
        {"server.pem", "missing.key", {"Cannot read the TLS key file", "missing.key"}},
        {"server.pem", "garbage.pem", {"Cannot parse the TLS key file", "garbage.pem"}},
        {"server.pem", "locked.key", {"locked.key", "password"}},
        {"server.pem", "other.key", {"other.key", "does not match", "server.pem"}},
    };
    CTlsContext good;
    std::string error;
    ASSERT_TRUE(good.Load(Pki::Path("server.pem"), Pki::Path("server.key"), error)) << error;
    for (const auto& c : cases) {
        std::string context = std::string(c.cert) + " + " + c.key;
        EXPECT_FALSE(good.Load(Pki::Path(c.cert), Pki::Path(c.key), error)) << context;
        for (const std::string& part : c.said)
            EXPECT_NE(error.find(part), std::string::npos) << context << ": " << error;
        EXPECT_EQ(ERR_peek_error(), 0u) << context;
        // A failed load leaves the earlier one in force.
        EXPECT_TRUE(good.IsLoaded()) << context;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Pki);
    return RUN_ALL_TESTS();
}
