// Micro-benchmarks of the request paths that touch every byte of a large
// request or answer: assembling a 20 MB request from 16 KB receives, taking
// a 20 MB upload apart, and translating an interpreter's output.
//
// The code under test writes console lines to standard output; run with
// standard output sent to /dev/null (the table is written to a file or to
// standard error with --benchmark_out).
#include "scripts/gateway.h"
#include "wiki/saving.h"
#include "server/server.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

using namespace fernhollow;

namespace {

const std::string boundary = "---------------------------7e12b3a1f0c4";
constexpr std::size_t receiveSize = 16384;

// Wiki-like page text: lines of markup and script with "\n" line ends, the
// bytes varied so that no search is helped by repetition.
std::string pageText(std::size_t size, const char* lineEnd = "\n") {
    std::string page;
    page.reserve(size + 200);
    std::uint32_t state = 12345;
    while (page.size() < size) {
        state = state * 1664525u + 1013904223u;
        page.append("<div class=\"tc-tiddler\" data-title=\"Tiddler ");
        page.append(std::to_string(state));
        page.append("\">var x = {\"text\": \"lorem ipsum ");
        page.append(std::to_string(state >> 7));
        page.append(" dolor sit amet\"};</div>");
        page.append(lineEnd);
    }
    page.resize(size);
    return page;
}

// The upload saver's multipart body around `page`.
std::string uploadBody(const std::string& page) {
    return "--" + boundary + "\r\nContent-disposition: form-data; name=\"UploadPlugin\"\r\n\r\n" +
           "backupDir=backup;user=me;password=;uploaddir=;;\r\n\r\n--" + boundary +
           "\r\nContent-disposition: form-data; name=\"userfile\"; filename=\"tiddly-big.html\"\r\n"
           "Content-Type: text/html;charset=UTF-8\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\n\r\n" + page + "\r\n--" + boundary + "--\r\n";
}

// A whole POST of `body` to a target that is neither a script nor a save, so
// that completing it runs the routing but no heavy handler.
std::string postRequest(const std::string& body) {
    return "POST /bench-target HTTP/1.1\r\nHost: 127.0.0.1:9090\r\n"
           "Content-Type: multipart/form-data; charset=UTF-8; boundary=" +
           boundary + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Feeds `request` to a new handler in receive-sized pieces; returns the handler.
std::unique_ptr<RequestHandler> assemble(std::string_view request) {
    auto handler = std::make_unique<RequestHandler>(std::make_unique<BufferConnection>());
    while (!request.empty()) {
        std::size_t n = request.size() < receiveSize ? request.size() : receiveSize;
        handler->processPacketData(request.substr(0, n));
        request.remove_prefix(n);
    }
    return handler;
}

void RequestAssembly20MB(benchmark::State& state) {
    const std::string body = uploadBody(pageText(20 << 20));
    const std::string request = postRequest(body);
    if (assemble(request)->body != body) state.SkipWithError("the assembled body differs from the one sent");
    for (auto _ : state) {
        std::unique_ptr<RequestHandler> handler = assemble(request);
        benchmark::DoNotOptimize(handler->body.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(request.size()));
}
BENCHMARK(RequestAssembly20MB)->Unit(benchmark::kMillisecond);

void MultipartParse20MB(benchmark::State& state, const char* lineEnd) {
    const std::string body = uploadBody(pageText(20 << 20, lineEnd));
    for (auto _ : state) {
        MultipartParse parsed = parseMultipartBody(body, boundary);
        if (!parsed.contentTaken || parsed.contentSize != (20u << 20)) state.SkipWithError("page not found");
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(body.size()));
}
BENCHMARK_CAPTURE(MultipartParse20MB, lf_lines, "\n")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MultipartParse20MB, crlf_lines, "\r\n")->Unit(benchmark::kMillisecond);

void CgiTranslation(benchmark::State& state, bool withStatus) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    std::string output = withStatus ? "Status: 302 Found\r\nLocation: /next.php\r\n" : "";
    output += "Content-Type: text/html; charset=UTF-8\r\nSet-Cookie: session=abc123\r\n\r\n";
    output += pageText(size, "\r\n");
    for (auto _ : state) {
        CgiAnswer answer = translateCgiOutput(output);
        benchmark::DoNotOptimize(answer.response.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(output.size()));
}
BENCHMARK_CAPTURE(CgiTranslation, plain_output, false)->Arg(4 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CgiTranslation, status_302, true)->Arg(4 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
