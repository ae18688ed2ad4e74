// Sessions and secrets against the headless binary: a key steers nothing from any other
// address, keys differ between runs, and no password or key ever reaches the output or
// the accounts file in clear.
#include <sys/stat.h>

#include "e2eUtil.h"

using secrets = e2eTest;

static string hex(const unsigned char* key, const char* format) {
    string out;
    char two[4];
    for (int i = 0; i < 16; i++) {
        snprintf(two, sizeof two, format, key[i]);
        out += two;
    }
    return out;
}

// The key as raw bytes or as hex text in the usual spellings.
static bool showsKey(const string& text, const unsigned char* key) {
    string raw(reinterpret_cast<const char*>(key), 16);
    for (const char* format : {"%02x", "%02X", "%02x ", "%02X "})
        if (has(text, hex(key, format))) return true;
    return has(text, raw);
}

TEST_F(secrets, AKeyCountsOnlyFromTheAddressThatLoggedIn) {
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(cl.join("alice").size(), 19u);
    udpClient mallory(srv.port);
    ASSERT_EQ(mallory.join("mallory").size(), 19u);
    cl.listen(1000, &mallory); // both walkers have landed and rest
    size_t before = srv.output().size();

    // Alice's own key, sent from another port: walking, a handshake step, a disconnect.
    bytes walk = cl.keys({{skmWalkForward, 1}});
    mallory.send(walk);
    mallory.send(sessionMsg(coUpdate, cl.key));
    mallory.send(sessionMsg(coDisconnect, cl.key));
    std::vector<gameStream> seen = cl.listen(1500, &mallory);
    EXPECT_TRUE(updatesOf(seen, cl.entity).empty());
    string forged = srv.output().substr(before);
    EXPECT_FALSE(has(forged, "Disconnected"));
    EXPECT_FALSE(has(forged, "received poll"));

    // From her own address the same datagram walks her.
    cl.send(walk);
    EXPECT_FALSE(updatesOf(cl.listen(1000, &mallory), cl.entity).empty());
    EXPECT_EQ(srv.stop(), 0);
}

TEST_F(secrets, NoPasswordOrKeyInTheOutputAndTheAccountsFileHoldsHashes) {
    writeProfile(dir, "veteran", 0, "old-plain-pass"); // saved before passwords were hashed
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(cl.request(newAccountMsg("alice", "s3cret-pass")), bytes{soNewGood});
    ASSERT_EQ(cl.request(loginMsg("alice", "wrong-guess", 3)), bytes{soLogBad});
    ASSERT_TRUE(cl.login("alice", "s3cret-pass", 3));
    udpClient veteran(srv.port);
    ASSERT_TRUE(veteran.login("veteran", "old-plain-pass", 3));
    ASSERT_EQ(srv.stop(), 0);

    string out = srv.output();
    EXPECT_TRUE(has(out, "New Profile Creation: (alice) (***)"));
    EXPECT_TRUE(has(out, "Profile Log In: (alice) (***)"));
    for (string secret : {"s3cret-pass", "wrong-guess", "old-plain-pass"})
        EXPECT_FALSE(has(out, secret)) << secret;
    EXPECT_FALSE(showsKey(out, cl.key));
    EXPECT_FALSE(showsKey(out, veteran.key));

    string saved = readFile(res("profiles"));
    ASSERT_EQ(saved.size(), 4 + 2 * 516u);
    for (size_t record = 4; record < saved.size(); record += 516)
        EXPECT_TRUE(saved.substr(record + 256).starts_with("$argon2id$"));
    struct stat st;
    ASSERT_EQ(stat(res("profiles").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The upgraded account still takes its password; a new run hands out other keys.
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient again(srv.port);
    ASSERT_TRUE(again.login("veteran", "old-plain-pass", 3));
    EXPECT_NE(memcmp(again.key, cl.key, 16), 0);
    EXPECT_EQ(srv.stop(), 0);
}
