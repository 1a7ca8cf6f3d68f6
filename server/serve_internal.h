#pragma once
// What the parts of veq-serve share: the server's state, one connection's state, and the steps each part offers
// the others. serve_connection.cpp reads requests and writes replies, serve_release.cpp answers the release and
// registration routes, serve_uploads.cpp stores uploads, serve_start.cpp sets up TLS, listens and stops.
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "serve.h"
#include "serve_rules.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;
using Clock = std::chrono::steady_clock;

const size_t kReadBufferBytes = 64 * 1024;   // one read; bounds what a pipelining client can queue
const uint32_t kMaxHeaderBytes = 16 * 1024;  // request line and every field; the launcher sends < 1 KiB
const unsigned kMaxHeaderFields = 64;
const size_t kChunkBytes = 64 * 1024;        // one read of a file being sent
const size_t kProgressBytes = 16 * 1024;     // what a body or a reply must move in each stall period
const unsigned long long kDiscardBytes = 64 * 1024;  // an unwanted body up to this is read and dropped; a longer
                                                     // one ends the connection instead
const int kMaxRequestsPerConnection = 1000;
const int kLingerSeconds = 2;                // after our last byte, the peer's leftovers are drained
const int kQuotaRescanSeconds = 10;          // other receivers on shared storage are seen this late
const int kStaleTempSeconds = 3600;          // another receiver's temporary upload file untouched this long is lost
const char kUploadTempPrefix[] = ".upload-";
const size_t kMaxRateEntries = 100000;
const int kBacklog = 511;
const int kUploadNameTries = 8;
const int kBlockingThreads = 2;              // fsync and rename, off the event loops
const int kStopCutSeconds = 5;               // after the grace period, for cut connections to go
extern const char kTextType[];

// A manifest's entity tag is a digest of its bytes, so every origin behind a CDN gives the same one; it is worked
// out again only when the file changes.
struct ManifestTag {
    dev_t dev;
    ino_t ino;
    struct timespec mtime;
    off_t size;
    char tag[33];
};

struct Conn;

struct ServeServer {
    ServeOptions opts;
    std::string release, registerDir, uploads, logPath, trustedProxy;  // opts' strings point into these
    std::string tempPrefix;  // of this process's temporary upload files: ".upload-<random>-"
    unsigned staleRemoved = 0;
    std::mutex lock;  // guards the fields up to logLock
    std::condition_variable drained;
    int connections = 0;
    std::unordered_map<std::string, int> perAddress;
    std::unordered_map<Conn*, std::weak_ptr<Conn>> live;
    std::unordered_map<std::string, RateBucket> rates;
    // The upload quota as running figures: measured at start and every kQuotaRescanSeconds off the event loops,
    // and kept up to date in between by each upload stored.
    unsigned long long uploadUsed = 0, uploadFiles = 0, uploadReserved = 0, uploadReservedFiles = 0;
    unsigned long long storedSinceScan = 0, filesSinceScan = 0;  // while quotaScanning
    Clock::time_point quotaScanned;
    int quotaScanning = 0;
    ManifestTag manifestTags[2] = {};  // the manifest's, its signature's
    std::mutex logLock;
    FILE* log = stderr;
    std::atomic<bool> stopping{ false };
    int port = -1;
    // One event loop per thread, as nginx has one per worker: a connection stays on the loop it was dealt to,
    // so nothing of it is ever locked. The first loop also accepts.
    std::vector<std::unique_ptr<net::io_context>> loops;
    std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
    size_t nextLoop = 0;
    std::unique_ptr<net::ssl::context> tls;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<net::steady_timer> acceptRetry;
    net::thread_pool blocking{ kBlockingThreads };
    std::vector<std::thread> threads;
};

// What a request said that matters here; the parser keeps nothing else, so a long header costs nothing to hold.
struct RequestHead {
    std::string method, target, userAgent, contentType, range, ifRange, ifNoneMatch, ifModifiedSince, realIp;
    int version = 11;
    int hasIfNoneMatch = 0;
    int expectContinue = 0;
    unsigned fields = 0;
};

class RequestParser;

struct Conn {
    ServeServer* server;
    tcp::socket socket;
    std::unique_ptr<net::ssl::stream<tcp::socket&>> tls;
    std::weak_ptr<Conn> self;
    // One timer per connection, waiting for the deadline of the phase at hand. Progress pushes the deadline back
    // without touching the timer, which only looks again when it fires: a transfer costs no timer calls.
    net::steady_timer timer;
    Clock::time_point deadline;
    int timedOut = 0;
    beast::flat_buffer buffer{ kReadBufferBytes };
    std::unique_ptr<RequestParser> parser;
    std::string peer;
    unsigned short peerPort;
    int requests = 0;
    int idle = 1;        // no byte of a request yet: a stop may close it
    int handshaken = 0;
    // The request in progress.
    Clock::time_point start;
    int started = 0;
    char client[kAddressCap] = "";
    int forwarded = 0;
    size_t progress = 0;  // bytes moved since the deadline was last pushed back
    // Its reply.
    int status = 0;
    std::string headers;  // extra header lines, each ending in CRLF
    const char* type = kTextType;
    std::string text;     // a short body, or the file's body below
    int fileFd = -1;
    unsigned long long fileOffset = 0, fileLeft = 0, contentLength = 0;
    int headOnly = 0;
    int closeAfter = 0;
    std::string out;      // the head, and a short body or the first piece of a file
    std::unique_ptr<char[]> chunk;  // later pieces of a file
    const char* outData = NULL;     // what is being written: out's or chunk's bytes
    size_t outLen = 0, outPos = 0, headLeft = 0;
    unsigned long long bodySent = 0;
    // Its upload.
    int uploadFd = -1;
    std::string uploadTemp;
    unsigned long long reserved = 0, bodyBytes = 0;
    int bodyErrno = 0;
    char scratch[512];    // lingering reads land here

    Conn(ServeServer* s, tcp::socket connected, const std::string& address, unsigned short port)
        : server(s), socket(std::move(connected)), timer(socket.get_executor()), peer(address), peerPort(port) {}
    ~Conn();
};

class RequestParser : public http::basic_parser<true> {
public:
    explicit RequestParser(Conn* c) : conn(c) {}
    RequestHead head;

private:
    Conn* conn;
    void on_request_impl(http::verb, beast::string_view method, beast::string_view target, int version,
                         ErrorCode&) override {
        head.method.assign(method.data(), method.size());
        head.target.assign(target.data(), target.size());
        head.version = version;
    }
    void on_response_impl(int, beast::string_view, int, ErrorCode&) override {}
    void on_field_impl(http::field name, beast::string_view nameText, beast::string_view value,
                       ErrorCode& ec) override;
    void on_header_impl(ErrorCode&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, ErrorCode&) override {}
    size_t on_body_impl(beast::string_view body, ErrorCode& ec) override;
    void on_chunk_header_impl(std::uint64_t, beast::string_view, ErrorCode&) override {}
    size_t on_chunk_body_impl(std::uint64_t, beast::string_view body, ErrorCode& ec) override {
        return on_body_impl(body, ec);
    }
    void on_finish_impl(ErrorCode&) override {}
};

using Step = void (*)(std::shared_ptr<Conn>);

// serve_connection.cpp
void ReportServeError(const char* fmt, ...);
int WriteAll(int fd, const char* data, size_t length);
void LogRequest(Conn* c);
void ReplyText(Conn* c, int status, const char* text);
int ReplyFile(Conn* c, const char* path, const char* type, struct stat* st);
void ReplyNotModified(Conn* c);
void Deadline(Conn* c, int seconds);
void HoldDeadline(Conn* c);
void CloseNow(Conn* c);
void WriteString(Conn* c);
void WriteOut(std::shared_ptr<Conn> c, Step next);
void SendReply(std::shared_ptr<Conn> c);
void ReadBody(std::shared_ptr<Conn> c);
void ReplyWithoutBody(std::shared_ptr<Conn> c);
void StartConnection(ServeServer* s, tcp::socket socket);

// serve_release.cpp
void ReplyManifest(Conn* c, int signature);
void ReplyBlob(Conn* c, const char* folder, const char* digest);
void ReplyRegister(Conn* c, const char* path, size_t pathLen);

// serve_uploads.cpp
void MeasureUploadsAtStart(ServeServer* s);
void SettleUploadLocked(Conn* c, unsigned long long stored);
void BeginUpload(std::shared_ptr<Conn> c, const char* query, size_t queryLen);
void FinishUpload(std::shared_ptr<Conn> c);
void UploadBodyFailed(std::shared_ptr<Conn> c, ErrorCode ec, int open);
