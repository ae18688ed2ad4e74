// The command line and the secrets of the headless binary: an unknown option refused, the
// server run from another folder with --res, a veteran whose account was saved before
// passwords were hashed and a new player with right and wrong passwords; afterwards no
// password or key was ever shown, the account file holds salted hashes only its owner may
// read, and --quiet leaves no trace lines.
#include "e2eUtil.h"

using session = e2eTest;

// The key as raw bytes or as hex text.
static bool showsKey(const string& text, const unsigned char* key) {
    char hex[33];
    for (int i = 0; i < 16; i++)
        snprintf(hex + 2 * i, 3, "%02x", key[i]);
    return has(text, hex) || has(text, string(reinterpret_cast<const char*>(key), 16));
}

TEST_F(session, OptionsAndSecretsNeitherShownNorStoredInClear) {
    srv.args = {"--no-such-option"};
    srv.spawn(dir);
    EXPECT_EQ(srv.waitExit(), 2);
    EXPECT_TRUE(has(srv.output(), "Usage: "));
    bytes rec = newAccountMsg("veteran", "old-plain-pass");
    string plain = {1, 0, 0, 0}; // one account, then its record as before passwords were hashed
    plain.append(rec.begin() + 1, rec.end()).append(4, 0);
    writeFile(res("profiles"), plain);
    // Run from inside res/, where no res/ is, so only --res finds the files.
    srv.args = {"--res", dir + "/res", "--quiet"};
    ASSERT_TRUE(srv.serve(dir + "/res")) << srv.output();
    udpClient veteran(srv.port);
    ASSERT_FALSE(veteran.join("veteran", "old-plain-pass", false).empty());
    ASSERT_EQ(cl.request(newAccountMsg("walker", "s3cret-pass")), bytes{soNewGood});
    ASSERT_EQ(cl.request(loginMsg("walker", "wrong-guess", 3)), bytes{soLogBad});
    ASSERT_TRUE(cl.login("walker", "s3cret-pass", 3));
    ASSERT_EQ(srv.stop(), 0);

    string out = srv.output();
    for (string secret : {"s3cret-pass", "wrong-guess", "old-plain-pass"})
        EXPECT_FALSE(has(out, secret)) << secret;
    EXPECT_FALSE(showsKey(out, cl.key));
    EXPECT_FALSE(showsKey(out, veteran.key));
    EXPECT_FALSE(has(out, "received message")); // a trace line of every datagram
    string saved = readFile(res("profiles"));
    ASSERT_EQ(saved.size(), 4 + 2 * 516u);
    for (size_t record = 4; record < saved.size(); record += 516)
        EXPECT_TRUE(saved.substr(record + 256).starts_with("$argon2id$"));
    EXPECT_EQ(int(std::filesystem::status(res("profiles")).permissions()), 0600);
    EXPECT_FALSE(has(saved, "old-plain-pass"));
}
