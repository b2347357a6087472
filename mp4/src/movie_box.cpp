// movie_box.cpp - the moov box tree.
#include "movie_box.h"

#include "box_writer.h"

namespace mp4 {
namespace {

constexpr uint32_t kMovieTimescale = 1000;
constexpr uint16_t kLanguageUndetermined = 0x55c4;  // "und", packed ISO 639-2/T

void unity_matrix(BoxWriter &w) {
    const uint32_t m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) w.u32(v);
}

uint32_t clamp_u32(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

// The media's duration in movie ticks.  The writer refuses samples that
// would take a duration past 32 bits.
uint32_t media_duration(const Track &t) {
    return clamp_u32(t.table.chunked_duration() * kMovieTimescale / t.timescale);
}

// The track's presentation: its start delay, then its media.
uint32_t movie_duration(const Track &t) {
    return clamp_u32(uint64_t{t.start_delay} + media_duration(t));
}

// Channel count from an AudioSpecificConfig (ISO/IEC 14496-3, 1.6.2.1):
// audioObjectType (5 bits, 6 more when 31), samplingFrequencyIndex (4, a
// 24-bit frequency after 15), channelConfiguration (4).  Configuration 7
// is 7.1; 0 (given by a program config element) and unreadable configs
// give the customary 2.
uint16_t channel_count(const GrowableArray<uint8_t> &asc) {
    uint64_t acc = 0;
    for (uint32_t i = 0; i < 8; ++i) acc = (acc << 8) | (i < asc.size() ? asc[i] : 0);
    uint32_t pos = 0;
    auto take = [&](uint32_t n) {
        const uint32_t v = static_cast<uint32_t>((acc << pos) >> (64 - n));
        pos += n;
        return v;
    };
    if (take(5) == 31) take(6);
    if (take(4) == 15) take(24);
    const uint32_t config = take(4);
    if (pos > asc.size() * 8u) return 2;
    if (config == 7) return 8;
    return config >= 1 && config <= 6 ? static_cast<uint16_t>(config) : 2;
}

bool has_avcc_extension(uint8_t profile) {
    return profile == 100 || profile == 110 || profile == 122 || profile == 144;
}

void write_avc1(BoxWriter &w, const Track &t, const AvcSampleEntry &e) {
    static const char kCompressor[] = "JVT/AVC Coding";
    const AvcFormat &f = e.format;
    w.box("avc1", [&] {
        w.zeros(6);
        w.u16(1);  // data_reference_index
        w.zeros(16);
        w.u16(f.width);
        w.u16(f.height);
        w.u32(0x00480000);  // 72 dpi
        w.u32(0x00480000);
        w.u32(0);
        w.u16(1);  // frame_count
        w.u8(sizeof kCompressor - 1);
        w.bytes(reinterpret_cast<const uint8_t *>(kCompressor), sizeof kCompressor - 1);
        w.zeros(32 - sizeof kCompressor);
        w.u16(0x0018);  // depth: colour
        w.u16(0xffff);  // pre_defined -1
        w.box("avcC", [&] {
            w.u8(1);
            w.u8(f.profile);
            w.u8(f.compat);
            w.u8(f.level);
            w.u8(0xfc | t.length_size_minus_one);
            w.u8(0xe0 | e.sps.count());
            w.bytes(e.sps.bytes().data(), e.sps.bytes().size());
            w.u8(e.pps.count());
            w.bytes(e.pps.bytes().data(), e.pps.bytes().size());
            if (f.has_sps_info && has_avcc_extension(f.profile)) {
                w.u8(0xfc | f.chroma_format_idc);
                w.u8(0xf8 | (f.bit_depth_luma - 8));
                w.u8(0xf8 | (f.bit_depth_chroma - 8));
                w.u8(0);  // numOfSequenceParameterSetExt
            }
        });
    });
}

void write_mp4a(BoxWriter &w, const Track &t) {
    const SampleTable &s = t.table;
    const uint64_t avg_bitrate =
        s.duration() == 0 ? 0 : s.total_bytes() * 8 * t.timescale / s.duration();
    w.box("mp4a", [&] {
        w.zeros(6);
        w.u16(1);    // data_reference_index
        w.zeros(8);  // version, revision, vendor
        w.u16(channel_count(t.es_config));
        w.u16(16);  // sample size
        w.u32(0);   // compression id, packet size
        w.u32(t.timescale <= UINT16_MAX ? t.timescale << 16 : 0);
        w.full_box("esds", 0, 0, [&] {
            w.descriptor(0x03, [&] {      // ES_Descriptor
                w.u16(0);                 // ES_ID
                w.u8(0);                  // no dependence, URL or OCR stream
                w.descriptor(0x04, [&] {  // DecoderConfigDescriptor
                    w.u8(t.audio_type);
                    w.u8(0x15);  // stream type 5 (audio) << 2, reserved bit
                    w.u24(s.max_sample_size() > 0xffffff ? 0xffffff : s.max_sample_size());
                    w.u32(t.max_bitrate);
                    w.u32(clamp_u32(avg_bitrate));
                    if (!t.es_config.empty())
                        w.descriptor(0x05,
                                     [&] { w.bytes(t.es_config.data(), t.es_config.size()); });
                });
                w.descriptor(0x06, [&] { w.u8(2); });  // SLConfigDescriptor: predefined MP4
            });
        });
    });
}

void write_trak(BoxWriter &w, const Track &t, uint32_t time, const TableCapacity &cap) {
    const bool video = t.kind == TrackKind::kVideo;
    const AvcFormat *shown = video ? &t.avc.entry(0).format : nullptr;
    w.box("trak", [&] {
        w.full_box("tkhd", 0, 1 /* enabled */, [&] {
            w.u32(time);
            w.u32(time);
            w.u32(t.id);
            w.u32(0);
            w.u32(movie_duration(t));
            w.zeros(8);
            w.u16(0);  // layer
            w.u16(0);  // alternate group
            w.u16(video ? 0 : 0x0100);
            w.u16(0);
            unity_matrix(w);
            w.u32(video ? uint32_t{shown->width} << 16 : 0);
            w.u32(video ? uint32_t{shown->height} << 16 : 0);
        });
        if (t.start_delay > 0) {
            // An empty edit, then the whole media from its first sample.
            w.box("edts", [&] {
                w.full_box("elst", 0, 0, [&] {
                    w.u32(2);
                    w.u32(t.start_delay);
                    w.u32(UINT32_MAX);  // media_time -1: empty
                    w.u32(0x00010000);  // rate 1.0
                    w.u32(media_duration(t));
                    w.u32(0);
                    w.u32(0x00010000);
                });
            });
        }
        w.box("mdia", [&] {
            w.full_box("mdhd", 0, 0, [&] {
                w.u32(time);
                w.u32(time);
                w.u32(t.timescale);
                w.u32(clamp_u32(t.table.chunked_duration()));
                w.u16(kLanguageUndetermined);
                w.u16(0);
            });
            w.full_box("hdlr", 0, 0, [&] {
                w.u32(0);
                w.fourcc(video ? "vide" : "soun");
                w.zeros(12);
                w.u8(0);  // empty name
            });
            w.box("minf", [&] {
                if (video)
                    w.full_box("vmhd", 0, 1, [&] { w.zeros(8); });
                else
                    w.full_box("smhd", 0, 0, [&] { w.zeros(4); });
                w.box("dinf", [&] {
                    w.full_box("dref", 0, 0, [&] {
                        w.u32(1);
                        w.full_box("url ", 0, 1 /* media in this file */, [] {});
                    });
                });
                w.box("stbl", [&] {
                    w.full_box("stsd", 0, 0, [&] {
                        if (video) {
                            w.u32(t.avc.count());
                            for (uint32_t i = 0; i < t.avc.count(); ++i)
                                write_avc1(w, t, t.avc.entry(i));
                        } else {
                            w.u32(1);
                            write_mp4a(w, t);
                        }
                    });
                    t.table.write_boxes(w, cap);
                });
            });
        });
        if (!t.name.empty())
            w.box("udta", [&] { w.box("name", [&] { w.bytes(t.name.data(), t.name.size()); }); });
    });
}

}  // namespace

bool build_movie_box(const Movie &movie, GrowableArray<uint8_t> &out) {
    BoxWriter w(out);
    uint32_t duration = 0;
    for (uint32_t i = 0; i < movie.track_count; ++i) {
        const uint32_t d = movie_duration(*movie.tracks[i]);
        if (d > duration) duration = d;
    }
    w.box("moov", [&] {
        w.full_box("mvhd", 0, 0, [&] {
            w.u32(movie.creation_time);
            w.u32(movie.creation_time);
            w.u32(kMovieTimescale);
            w.u32(duration);
            w.u32(0x00010000);  // rate 1.0
            w.u16(0x0100);      // volume 1.0
            w.zeros(10);
            unity_matrix(w);
            w.zeros(24);
            w.u32(movie.track_count + 1);  // next_track_ID
        });
        if (movie.iods) {
            w.full_box("iods", 0, 0, [&] {
                w.descriptor(0x10, [&] {  // MP4_IOD
                    w.u16(0x004f);        // ObjectDescriptorID 1, no URL, no inline profiles
                    for (int i = 0; i < 5; ++i)
                        w.u8(0xff);  // OD, scene, audio, visual, graphics: none
                });
            });
        }
        for (uint32_t i = 0; i < movie.track_count; ++i)
            write_trak(w, *movie.tracks[i], movie.creation_time,
                       movie.capacity == nullptr ? TableCapacity{}
                       : movie.capacity[movie.tracks[i]->kind == TrackKind::kVideo ? 0 : 1]);
    });
    return w.ok();
}

uint64_t movie_box_size_bound(const Movie &movie) {
    // Fixed boxes: moov, mvhd, iods; per track everything but the tables'
    // entries and the sample descriptions, with room to spare.
    uint64_t n = 256;
    for (uint32_t i = 0; i < movie.track_count; ++i) {
        const Track &t = *movie.tracks[i];
        n += 1024 + 48 + t.name.size() + t.es_config.size();  // 48: edts
        if (t.kind == TrackKind::kVideo)
            n += uint64_t{t.avc.count()} * 128 + t.avc.parameter_bytes();
        // Per sample at most: stts and ctts entries (8 each), stsz, stss.
        n += (uint64_t{t.table.sample_count()} + 1) * 24;
        // Per chunk: stco and stsc entries; the pending chunk and the one
        // the next sample may start.
        n += (uint64_t{t.table.chunk_count()} + 2) * 16;
    }
    return n;
}

}  // namespace mp4
