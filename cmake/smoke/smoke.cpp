// Exercises, on Windows, each piece of the deps that handover leans on, in the way a broken
// cross build fails: headers that disagree with the libraries, a TLS callback the static
// link dropped, exceptions that cannot unwind out of a static library, a random source that
// is not there.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <boost/algorithm/string/predicate.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/thread/thread.hpp>
#include <boost/thread/tss.hpp>
#include <openssl/crypto.h>
#include <openssl/des.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace fs = boost::filesystem;

static int failures = 0;

static void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) {
        ++failures;
    }
}

static void filesystem_checks() {
    // unique_path draws on the Windows random source Boost was built for.
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("handover-smoke-%%%%-%%%%-%%%%");
    fs::create_directories(dir);
    const fs::path a = dir / "a.txt";
    const fs::path b = dir / "b.txt";
    {
        fs::ofstream out(a, std::ios::binary);
        out << "hello";
    }
    check(fs::status(a).type() == fs::regular_file, "status of a new file is regular_file");
    check(fs::file_size(a) == 5, "file_size of a new file");
    fs::rename(a, b);
    check(!fs::exists(a) && fs::exists(b), "rename moves the file");
    std::set<std::string> names;
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        names.insert(it->path().filename().string());
    }
    check(names == std::set<std::string>{"b.txt"}, "directory listing after rename");
    bool threw = false;
    try {
        fs::file_size(a);
    } catch (const fs::filesystem_error& e) {
        threw = e.code() == boost::system::errc::no_such_file_or_directory;
    }
    check(threw, "filesystem_error for a missing file unwinds out of the library");
    fs::remove_all(dir);
    check(!fs::exists(dir), "remove_all");
}

static void time_checks() {
    const boost::posix_time::ptime t0 = boost::posix_time::microsec_clock::universal_time();
    boost::this_thread::sleep(boost::posix_time::milliseconds(100));
    const boost::posix_time::time_duration slept = boost::posix_time::microsec_clock::universal_time() - t0;
    // Windows' clock ticks in steps of up to 16 ms, so allow one step early.
    check(slept >= boost::posix_time::milliseconds(84) && slept < boost::posix_time::seconds(10),
          "this_thread::sleep(100 ms) measured by microsec_clock");
}

static std::atomic<int> cleaned{0};
struct Cleaned {
    ~Cleaned() { ++cleaned; }
};
static boost::thread_specific_ptr<Cleaned> per_thread;

static void thread_checks() {
    boost::thread bt([] { per_thread.reset(new Cleaned); });
    bt.join();
    check(cleaned == 1, "thread_specific_ptr cleaned up at the end of a boost::thread");
    // A thread Boost did not start is cleaned up only through the TLS callback that the
    // static Boost.Thread carries; a link that drops it leaks here silently.
    std::thread st([] { per_thread.reset(new Cleaned); });
    st.join();
    check(cleaned == 2, "thread_specific_ptr cleaned up at the end of a std::thread");
}

static void des_checks() {
    check(OpenSSL_version_num() == OPENSSL_VERSION_NUMBER, "libcrypto matches its headers");
    // The three-key TDEA known answer of the NIST sample: "The qufck brown fox jump".
    static const unsigned char key[3][8] = {
        {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF},
        {0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01},
        {0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23},
    };
    static const unsigned char expected[24] = {
        0xA8, 0x26, 0xFD, 0x8C, 0xE5, 0x3B, 0x85, 0x5F, 0xCC, 0xE2, 0x1C, 0x81,
        0x12, 0x25, 0x6F, 0xE6, 0x68, 0xD5, 0xC0, 0x5D, 0xD9, 0xB6, 0xB9, 0x00,
    };
    const char* plain = "The qufck brown fox jump";
    DES_key_schedule ks[3];
    for (int i = 0; i < 3; ++i) {
        DES_cblock k;
        std::memcpy(k, key[i], 8);
        DES_set_key(&k, &ks[i]);
    }
    unsigned char out[24];
    for (int block = 0; block < 3; ++block) {
        DES_cblock in, enc;
        std::memcpy(in, plain + 8 * block, 8);
        DES_ecb3_encrypt(&in, &enc, &ks[0], &ks[1], &ks[2], DES_ENCRYPT);
        std::memcpy(out + 8 * block, enc, 8);
    }
    check(std::memcmp(out, expected, sizeof out) == 0, "DES_ecb3_encrypt known answer");
}

int main(int argc, char** argv) {
    // For wine-check.sh: a known exit status and one line on each stream.
    if (argc == 3 && std::strcmp(argv[1], "--exit") == 0) {
        std::printf("to stdout\n");
        std::fprintf(stderr, "to stderr\n");
        return std::atoi(argv[2]);
    }
    check(boost::algorithm::iequals("HandOver", "hANDoVER") && !boost::algorithm::iequals("handover", "handovers"),
          "algorithm::iequals");
    filesystem_checks();
    time_checks();
    thread_checks();
    des_checks();
    std::printf("%s\n", failures == 0 ? "smoke: all passed" : "smoke: FAILED");
    return failures == 0 ? 0 : 1;
}
