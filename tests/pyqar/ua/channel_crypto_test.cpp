// The symmetric keys of a channel across a token renewal, with a second ChannelCrypto standing
// in for the server: the two derive each other's keys from the same nonces.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "ua/binary_writer.h"
#include "ua/channel_crypto.h"
#include "ua/pki_store.h"

namespace {

using namespace pyqar::ua;
using kestrane_test::TempDir;

class ChannelCryptoTokens : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>("kestrane-channel-crypto-");
    client_id_ = std::make_shared<const ApplicationIdentity>(
        PkiStore((dir_->path() / "client").string()).own_identity("client-host"));
    server_id_ = std::make_shared<const ApplicationIdentity>(
        PkiStore((dir_->path() / "server").string()).own_identity("server-host"));
  }
  static void TearDownTestSuite() {
    client_id_.reset();
    server_id_.reset();
    dir_.reset();
  }

  static ChannelSecurity side(std::shared_ptr<const ApplicationIdentity> own,
                              const ApplicationIdentity& peer) {
    return {.policy = pyqar::UaSecurityPolicy::Basic256Sha256,
            .mode = pyqar::UaSecurityMode::SignAndEncrypt,
            .own = std::move(own),
            .server_certificate = peer.certificate,
            .own_certificate_path = {}};
  }

  // Both sides take a token with fresh nonces, as an OpenSecureChannel exchange does.
  void new_token(std::uint32_t id) {
    const Bytes client_nonce = client_.new_client_nonce();
    const Bytes server_nonce = server_.new_client_nonce();
    client_.add_token(id, server_nonce);
    server_.add_token(id, client_nonce);
  }

  // A MSG chunk from the server under `token`.
  std::vector<std::uint8_t> from_server(std::uint32_t token) {
    BinaryWriter chunk;
    chunk.bytes(std::vector<std::uint8_t>{'M', 'S', 'G', 'F'});
    chunk.u32(0);
    chunk.u32(7);  // channel
    chunk.u32(token);
    chunk.u32(++sequence_);
    chunk.u32(sequence_);  // request id
    chunk.string("response body");
    server_.seal_symmetric(chunk, token);
    return chunk.take();
  }

  bool client_opens(std::vector<std::uint8_t> chunk, bool keep_older = false) {
    try {
      client_.open_symmetric(chunk, keep_older);
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline std::shared_ptr<const ApplicationIdentity> client_id_;
  static inline std::shared_ptr<const ApplicationIdentity> server_id_;
  ChannelCrypto client_{side(client_id_, *server_id_)};
  ChannelCrypto server_{side(server_id_, *client_id_)};
  std::uint32_t sequence_ = 0;
};

TEST_F(ChannelCryptoTokens, OldKeysServeUntilTheServerUsesTheNewTokenThenNoLonger) {
  new_token(1);
  ASSERT_TRUE(client_opens(from_server(1)));
  new_token(2);
  // The server may still answer under the old token until it has seen the new one used.
  EXPECT_TRUE(client_opens(from_server(1)));
  EXPECT_TRUE(client_opens(from_server(2)));
  // From then on the old keys are gone: a chunk under them is refused.
  EXPECT_FALSE(client_opens(from_server(1)));
  EXPECT_TRUE(client_opens(from_server(2)));
}

TEST_F(ChannelCryptoTokens, AForgedChunkUnderTheNewTokenDoesNotRetireTheOldKeys) {
  new_token(1);
  new_token(2);
  std::vector<std::uint8_t> forged = from_server(2);
  forged[30] ^= 0x01;
  EXPECT_FALSE(client_opens(forged));
  EXPECT_TRUE(client_opens(from_server(1)));
}

TEST_F(ChannelCryptoTokens, OlderKeysStayWhileRequestsSentUnderThemAwaitTheirAnswers) {
  new_token(1);
  new_token(2);
  // Requests sent under token 1 are still out: the newest token in use retires nothing yet,
  // and their answers may come under token 1 even after another renewal.
  EXPECT_TRUE(client_opens(from_server(2), true));
  EXPECT_TRUE(client_opens(from_server(1), true));
  new_token(3);
  EXPECT_TRUE(client_opens(from_server(1), true));
  EXPECT_TRUE(client_opens(from_server(2), true));
  // Once they are answered, the next chunk under the newest token retires both.
  EXPECT_TRUE(client_opens(from_server(3)));
  EXPECT_FALSE(client_opens(from_server(1)));
  EXPECT_FALSE(client_opens(from_server(2)));
  EXPECT_TRUE(client_opens(from_server(3)));
}

}  // namespace
