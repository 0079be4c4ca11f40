// Source bins of stored media: media files demuxed by parsebin, and
// directories of still images played as a sequence. The media are made by
// ffmpeg for each run.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "media/image_sequence.hpp"
#include "source_bins_support.hpp"

namespace ov::test {
namespace {

namespace fs = std::filesystem;

std::string first_stream_type(const std::string& file) {
    const auto probe = ChildProcess::start({"ffprobe", "-v", "error", "-show_entries", "stream=codec_type", "-of",
                                            "csv=p=0", file});
    if (!probe) return "";
    return probe->read_line(10s).value_or("");
}

class FileSource : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media_ = new ScratchDir;
        const std::vector<std::string> video{"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2"};
        auto with = [&](std::vector<std::string> head, std::vector<std::string> tail) {
            head.insert(head.end(), tail.begin(), tail.end());
            return head;
        };
        made_ = ffmpeg(with(video, {"-c:v", "libx264", "-pix_fmt", "yuv420p", file("h264.mp4")})) &&
                ffmpeg(with(video, {"-c:v", "libx265", "-pix_fmt", "yuv420p", "-tag:v", "hvc1", file("h265.mp4")})) &&
                // The audio track first: the demuxer announces it before the video.
                ffmpeg(with({"-f", "lavfi", "-i", "sine=frequency=440:duration=2"},
                            with(video, {"-map", "0:a", "-map", "1:v", "-c:a", "aac", "-c:v", "libx264", "-pix_fmt",
                                         "yuv420p", file("audio_first.mp4")})));
    }
    static void TearDownTestSuite() {
        delete media_;
        media_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(made_) << "ffmpeg could not make the test media"; }
    static std::string file(const std::string& name) { return media_->file(name); }

    static inline ScratchDir* media_ = nullptr;
    static inline bool made_ = false;
};

TEST_F(FileSource, ChainOfEachCodec) {
    struct Case {
        Codec codec;
        std::vector<std::string> factories;
    };
    const Case cases[] = {
        {Codec::H264, {"filesrc", "parsebin", "h264parse", "avdec_h264", "videoconvert"}},
        {Codec::H265, {"filesrc", "parsebin", "h265parse", "avdec_h265", "videoconvert"}},
    };
    for (const auto& c : cases) {
        const auto bin = build_ok(source::File{"/media/clip.mp4", std::nullopt}, c.codec);
        ASSERT_EQ(factories(bin.get()), c.factories);
        const auto chain = children(bin.get());
        expect_properties(chain[0].get(), {{"location", "/media/clip.mp4"}});
        expect_properties(chain[2].get(), {{"config-interval", "-1"}});
        EXPECT_TRUE(feeds(chain[0].get(), chain[1].get()));
        EXPECT_TRUE(feeds(chain[2].get(), chain[3].get()) && feeds(chain[3].get(), chain[4].get()));
        EXPECT_EQ(src_target(bin.get()).get(), chain[4].get());
    }
}

TEST_F(FileSource, PlaysTheVideoTrackOfEachFile) {
    ASSERT_EQ(first_stream_type(file("audio_first.mp4")), "audio");
    const std::pair<const char*, Codec> cases[] = {
        {"h264.mp4", Codec::H264},
        {"audio_first.mp4", Codec::H264},
        {"h265.mp4", Codec::H265},
    };
    for (const auto& [name, codec] : cases) {
        SCOPED_TRACE(name);
        const auto bin = build_ok(source::File{file(name), std::nullopt}, codec);
        SourceRun run(bin);
        ASSERT_TRUE(run.play());
        const auto samples = run.pull(4, 5s);
        ASSERT_EQ(samples.size(), 4u) << run.error();
        EXPECT_EQ(media_type_of(samples[0]), "video/x-raw");
        expect_wall_clock_stamps(samples);
        // The parser is fed by parsebin's video pad; the audio pad stays unlinked.
        const auto parser = children(bin.get())[2];
        const gst::PadPtr sink = gst::static_pad(parser.get(), "sink");
        const gst::PadPtr peer = gst::PadPtr::take(gst_pad_get_peer(sink.get()));
        ASSERT_TRUE(peer);
        const gst::CapsPtr caps = gst::CapsPtr::take(gst_pad_get_current_caps(peer.get()));
        EXPECT_EQ(std::string(gst_structure_get_name(gst_caps_get_structure(caps.get(), 0))),
                  codec == Codec::H264 ? "video/x-h264" : "video/x-h265");
    }
}

TEST_F(FileSource, StartValueIsTheOriginOfCaptureTimes) {
    const uint64_t start = 1'600'000'000'000'000'000ull;
    SourceRun run(build_ok(source::File{file("h264.mp4"), start}));
    ASSERT_TRUE(run.play());
    const auto samples = run.pull(3, 5s);
    ASSERT_EQ(samples.size(), 3u) << run.error();
    for (const auto& sample : samples) {
        EXPECT_EQ(media::source_timestamp(buffer_of(sample)), start + GST_BUFFER_PTS(buffer_of(sample)));
    }
}

TEST_F(FileSource, VideoOfAnotherCodecIsRefusedSilently) {
    LogCapture log;
    const auto bin = build_ok(source::File{file("h264.mp4"), std::nullopt}, Codec::H265);
    SourceRun run(bin);
    run.play();
    const auto demuxer = children(bin.get())[1];
    for (int i = 0; i < 100 && GST_ELEMENT(demuxer.get())->numsrcpads == 0; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_GT(GST_ELEMENT(demuxer.get())->numsrcpads, 0u) << "parsebin announced no stream";
    EXPECT_TRUE(run.pull(1, 500ms).empty());
    EXPECT_FALSE(gst_pad_is_linked(gst::static_pad(children(bin.get())[2].get(), "sink").get()));
    // Refused by its media type, not by a failed link.
    EXPECT_TRUE(log.messages(log::Level::Warn).empty());
}

// A directory of images made by ffmpeg, named as given.
class ImageDir {
public:
    bool add(const std::string& name, const std::string& size = "160x120") {
        return ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=" + size, "-frames:v", "1", "-f", "image2",
                       dir_.file(name)});
    }
    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    ScratchDir dir_;
};

ino_t inode(const std::string& path) {
    struct stat info{};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ImageSequence, ImagesInByteOrderLinkedUnderTheFirstExtension) {
    ImageDir images;
    ASSERT_TRUE(images.add("b.PNG") && images.add("a.png"));
    std::ofstream(images.file("c.txt")) << "not an image";
    std::ofstream(images.file(".png")) << "a hidden file without extension";
    ScratchDir tmp;
    ScopedEnv env("TMPDIR", tmp.path().c_str());

    // A relative path is resolved against the current directory for the links.
    const std::string relative = fs::relative(images.path()).string();
    auto prepared = media::prepare_image_sequence(relative);
    ASSERT_TRUE(prepared) << prepared.error().message;
    const auto& sequence = prepared.value();
    EXPECT_EQ(sequence.images, (std::vector<std::string>{relative + "/a.png", relative + "/b.PNG"}));
    EXPECT_EQ(sequence.extension, "png");
    EXPECT_EQ(fs::path(sequence.temp_dir).parent_path(), fs::path(tmp.path()));
    EXPECT_TRUE(std::regex_match(fs::path(sequence.temp_dir).filename().string(), std::regex("ov_imgdir_[0-9]+")));
    EXPECT_EQ(entries(sequence.temp_dir), (std::vector<std::string>{"0000000000.png", "0000000001.png"}));
    EXPECT_EQ(inode(sequence.temp_dir + "/0000000000.png"), inode(images.file("a.png")));
    EXPECT_EQ(inode(sequence.temp_dir + "/0000000001.png"), inode(images.file("b.PNG")));
    EXPECT_EQ(media::image_sequence_pattern(sequence), sequence.temp_dir + "/%010d.png");
    media::remove_directory_tree(sequence.temp_dir);

    const auto bin = build_ok(source::Images{images.path(), 25, std::nullopt});
    const auto chain = children(bin.get());
    EXPECT_EQ(factory_of(chain[1].get()), "pngdec");
    expect_properties(chain[0].get(), {{"stop-index", "1"}});
}

TEST(ImageSequence, BuildErrors) {
    ImageDir images;
    ASSERT_TRUE(images.add("only.jpg"));
    ScratchDir empty;
    std::ofstream(empty.file("notes.txt")) << "no images here";
    ScratchDir tmp;

    struct Case {
        std::string path;
        std::string tmpdir;
        std::string message;
    };
    const Case cases[] = {
        {images.path() + "/missing", tmp.path(),
         "Cannot read image directory: No such file or directory (os error 2)"},
        {empty.path(), tmp.path(), "No PNG or JPEG images found in directory: " + empty.path()},
        {images.path(), tmp.path() + "/missing", "Failed to create temp dir: No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        ScopedEnv env("TMPDIR", c.tmpdir.c_str());
        EXPECT_EQ(build_error(source::Images{c.path, 25, std::nullopt}), c.message);
    }

    // Hard links cannot cross file systems; the half-made directory is removed.
    struct stat images_fs{}, shm_fs{};
    if (stat(images.path().c_str(), &images_fs) == 0 && stat("/dev/shm", &shm_fs) == 0 &&
        images_fs.st_dev != shm_fs.st_dev && access("/dev/shm", W_OK) == 0) {
        ScratchDir other;
        const std::string shm_dir = "/dev/shm/" + fs::path(other.path()).filename().string();
        ASSERT_TRUE(fs::create_directory(shm_dir));
        {
            ScopedEnv env("TMPDIR", shm_dir.c_str());
            EXPECT_EQ(build_error(source::Images{images.path(), 25, std::nullopt}),
                      "hard_link failed: Invalid cross-device link (os error 18)");
        }
        EXPECT_TRUE(entries(shm_dir).empty());
        fs::remove_all(shm_dir);
    }
}

std::string temp_dir_of(GstElement* bin) {
    return fs::path(property_text(child_of(bin, "multifilesrc").get(), "location")).parent_path().string();
}

TEST(ImagesSource, ChainOfASequence) {
    ImageDir png;
    ASSERT_TRUE(png.add("a.png") && png.add("b.png") && png.add("c.png"));
    ImageDir jpeg;
    ASSERT_TRUE(jpeg.add("x.jpeg") && jpeg.add("y.png"));

    struct Case {
        std::string path;
        uint32_t fps;
        std::string decoder;
        std::string pattern;
        std::string stop_index;
        std::string framerate;
    };
    const Case cases[] = {
        {png.path(), 25, "pngdec", "%010d.png", "2", "25/1"},
        {jpeg.path(), 0, "jpegdec", "%010d.jpeg", "1", "0/1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.decoder);
        const auto bin = build_ok(source::Images{c.path, c.fps, std::nullopt});
        ASSERT_EQ(factories(bin.get()),
                  (std::vector<std::string>{"multifilesrc", c.decoder, "videoconvert", "videorate", "capsfilter"}));
        const auto chain = children(bin.get());
        const std::string temp_dir = temp_dir_of(bin.get());
        EXPECT_TRUE(fs::is_directory(temp_dir));
        expect_properties(chain[0].get(), {{"location", temp_dir + "/" + c.pattern},
                                           {"start-index", "0"},
                                           {"stop-index", c.stop_index}});
        expect_properties(chain[3].get(), {{"skip-to-first", "true"}});
        expect_properties(chain[4].get(), {{"caps", "video/x-raw, framerate=(fraction)" + c.framerate}});
        for (size_t i = 1; i < chain.size(); ++i) EXPECT_TRUE(feeds(chain[i - 1].get(), chain[i].get()));
        EXPECT_EQ(src_target(bin.get()).get(), chain[4].get());
    }
}

TEST(ImagesSource, PlaysFramesAtTheirIntervalAndRemovesItsDirectoryAtTheEnd) {
    ImageDir images;
    ASSERT_TRUE(images.add("1.png") && images.add("2.png") && images.add("3.png"));
    const uint64_t start = 1'650'000'000'000'000'000ull;
    const auto bin = build_ok(source::Images{images.path(), 25, start});
    const std::string temp_dir = temp_dir_of(bin.get());
    SourceRun run(bin);
    ASSERT_TRUE(run.play());
    const auto samples = run.pull(10, 5s);
    ASSERT_EQ(samples.size(), 3u) << run.error();
    for (size_t i = 0; i < samples.size(); ++i) {
        GstBuffer* buffer = buffer_of(samples[i]);
        EXPECT_EQ(GST_BUFFER_PTS(buffer), i * 40 * GST_MSECOND);
        EXPECT_EQ(GST_BUFFER_DURATION(buffer), 40 * GST_MSECOND);
        EXPECT_EQ(media::source_timestamp(buffer), start + i * 40 * GST_MSECOND);
    }
    EXPECT_EQ(media_type_of(samples[0]), "video/x-raw");
    EXPECT_FALSE(fs::exists(temp_dir)) << "removed once end of stream passed";
}

TEST(ImagesSource, FpsZeroShowsOneImagePerSecond) {
    ImageDir images;
    ASSERT_TRUE(images.add("a.jpg") && images.add("b.jpg"));
    SourceRun run(build_ok(source::Images{images.path(), 0, std::nullopt}));
    ASSERT_TRUE(run.play());
    const auto samples = run.pull(2, 5s);
    ASSERT_EQ(samples.size(), 2u) << run.error();
    EXPECT_EQ(GST_BUFFER_PTS(buffer_of(samples[0])), 0u);
    EXPECT_EQ(GST_BUFFER_PTS(buffer_of(samples[1])), GST_SECOND);
    expect_wall_clock_stamps(samples);
}

TEST(ImagesSource, DirectoryGoesWithTheBinBeforeEndOfStream) {
    ImageDir images;
    ASSERT_TRUE(images.add("a.png") && images.add("b.png"));
    std::string unused_dir;
    {
        const auto bin = build_ok(source::Images{images.path(), 1, std::nullopt});
        unused_dir = temp_dir_of(bin.get());
        EXPECT_TRUE(fs::is_directory(unused_dir));
    }
    EXPECT_FALSE(fs::exists(unused_dir)) << "a bin that never ran";

    std::string stopped_dir;
    {
        SourceRun run(build_ok(source::Images{images.path(), 1, std::nullopt}));
        stopped_dir = temp_dir_of(run.src_bin());
        ASSERT_TRUE(run.play());
        ASSERT_EQ(run.pull(1, 5s).size(), 1u) << run.error();
        EXPECT_TRUE(fs::is_directory(stopped_dir));
    }
    EXPECT_FALSE(fs::exists(stopped_dir)) << "a stream closed before its end";
}

}  // namespace
}  // namespace ov::test
