// The decodes ape_decoder_bench times and the helpers around them.
#include "DecoderRuns.h"
#include "audio/ape/ApeDecoder.h"
#include "audio/ape/ApeFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
}

namespace fs = std::filesystem;

namespace decoderbench {

namespace {

constexpr int64_t kChunkFrames = 1 << 16;

std::string hex(const uint8_t *digest)
{
    char text[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

} // namespace

Output decodeNative(const fs::path &path, int threads, bool hash)
{
    Output out;
    std::string error;
    audio::DecoderOptions options;
    options.workerThreads = threads;
    auto d = ape::openNativeDecoder(path, &error, options);
    if (!d) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
        return out;
    }
    const int bpf = d->format().bytesPerFrame();
    std::vector<uint8_t> buf(size_t(kChunkFrames) * size_t(bpf));
    AVMD5 *md5 = hash ? av_md5_alloc() : nullptr;
    if (md5)
        av_md5_init(md5);
    for (;;) {
        const int64_t n = d->read(buf.data(), kChunkFrames);
        if (n < 0) {
            av_free(md5);
            return out;
        }
        if (n == 0)
            break;
        if (md5)
            av_md5_update(md5, buf.data(), size_t(n) * size_t(bpf));
        out.frames += n;
    }
    if (md5) {
        uint8_t digest[16];
        av_md5_final(md5, digest);
        av_free(md5);
        out.md5 = hex(digest);
    }
    out.ok = out.frames == d->totalFrames();
    return out;
}

Output decodeFfmpeg(const fs::path &path)
{
    Output out;
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return out;
    AVCodecContext *codec = nullptr;
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    std::vector<uint8_t> sink;
    int stream = -1;
    if (avformat_find_stream_info(fmt, nullptr) >= 0)
        stream = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream >= 0) {
        const AVCodecParameters *par = fmt->streams[stream]->codecpar;
        const AVCodec *dec = avcodec_find_decoder(par->codec_id);
        codec = dec ? avcodec_alloc_context3(dec) : nullptr;
        if (codec && avcodec_parameters_to_context(codec, par) >= 0 &&
            avcodec_open2(codec, dec, nullptr) >= 0) {
            bool failed = false;
            auto drain = [&] {
                while (avcodec_receive_frame(codec, frame) >= 0) {
                    const int planar = av_sample_fmt_is_planar(codec->sample_fmt);
                    const int planes = planar ? frame->ch_layout.nb_channels : 1;
                    const size_t bytes = size_t(frame->nb_samples) *
                                         size_t(av_get_bytes_per_sample(codec->sample_fmt)) *
                                         size_t(planar ? 1 : frame->ch_layout.nb_channels);
                    sink.resize(std::max(sink.size(), bytes * size_t(planes)));
                    for (int p = 0; p < planes; ++p)
                        std::memcpy(sink.data() + bytes * size_t(p), frame->extended_data[p],
                                    bytes);
                    out.frames += frame->nb_samples;
                    av_frame_unref(frame);
                }
            };
            while (!failed && av_read_frame(fmt, packet) >= 0) {
                if (packet->stream_index == stream)
                    failed = avcodec_send_packet(codec, packet) < 0;
                av_packet_unref(packet);
                drain();
            }
            avcodec_send_packet(codec, nullptr);
            drain();
            out.ok = !failed;
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&fmt);
    return out;
}

uint32_t apeFrames(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    const ape::HeaderReader header(int64_t(fs::file_size(path)),
                                   [&in](int64_t at, void *buf, size_t n) {
                                       in.clear();
                                       in.seekg(at);
                                       in.read(static_cast<char *>(buf), std::streamsize(n));
                                       return size_t(in.gcount());
                                   });
    return header.status() == ape::OpenStatus::Ok ? header.info().frameCount : 0;
}

std::optional<long> peakKiB(const fs::path &self, const fs::path &file, int threads)
{
    int pipefd[2];
    if (::pipe(pipefd) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        ::dup2(pipefd[1], STDOUT_FILENO);
        ::close(pipefd[0]);
        const std::string t = std::to_string(threads);
        ::execl(self.c_str(), self.c_str(), "--peak", file.c_str(), t.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(pipefd[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0)
        text.append(buf, size_t(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty())
        return std::nullopt;
    return std::stol(text);
}

int peakMode(const char *file, const char *threads)
{
    if (!decodeNative(file, std::atoi(threads), false).ok)
        return 1;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) {
            std::printf("%ld\n", std::stol(line.substr(6)));
            return 0;
        }
    return 1;
}

std::map<std::string, std::string> manifestMd5(const fs::path &dir)
{
    std::map<std::string, std::string> md5;
    std::ifstream in(dir / "manifest.tsv");
    std::string line;
    std::vector<std::string> header;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string c;
        while (std::getline(ss, c, '\t'))
            cols.push_back(c);
        if (header.empty()) {
            header = cols;
            continue;
        }
        const auto f = std::find(header.begin(), header.end(), "file");
        const auto m = std::find(header.begin(), header.end(), "pcm_md5");
        if (f == header.end() || m == header.end())
            break;
        const size_t fi = size_t(f - header.begin()), mi = size_t(m - header.begin());
        if (cols.size() > std::max(fi, mi))
            md5[cols[fi]] = cols[mi];
    }
    return md5;
}

} // namespace decoderbench
