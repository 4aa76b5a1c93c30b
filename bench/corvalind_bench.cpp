// corvalind-bench: speed of the pixel routines and the compositor, side by
// side with libyuv, libswscale and memcpy on the same buffers and sizes.
//
//   build/bin/corvalind-bench                                 all cases
//   build/bin/corvalind-bench --benchmark_filter='1920x1080_to_1280x720'
//   build/bin/corvalind-bench --benchmark_format=json > result.json
//
// Scaler cases are named <routine>/<W>x<H>_to_<W>x<H>. "hot" routines reuse
// one source and one destination (both stay in the cache when they fit);
// the "_cold" routines cycle through enough buffer pairs (at least 256 MiB)
// that every call starts from main memory.
#include <benchmark/benchmark.h>

extern "C" {
#include <libswscale/swscale.h>
#include <libavutil/pixfmt.h>
}
#include <libyuv/scale.h>
#include <libyuv/scale_rgb.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/image_ops.h"
#include "engine/image_ops_reference.h"
#include "engine/key_settings.h"
#include "engine/video_engine.h"
#include "engine/worker_pool.h"

namespace {

using namespace corvalind;

struct Case {
  int srcW, srcH, dstW, dstH;
  std::string Name() const {
    return std::to_string(srcW) + "x" + std::to_string(srcH) + "_to_" + std::to_string(dstW) +
           "x" + std::to_string(dstH);
  }
};

const Case kCases[] = {
    {1920, 1080, 1280, 720}, {640, 480, 1920, 1080}, {1280, 720, 1920, 1080}, {1920, 1080, 480, 270}};

std::vector<uint8_t> Noise(std::size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> v(n);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t word = rng();
    std::memcpy(v.data() + i, &word, 8);
  }
  for (; i < n; ++i) v[i] = static_cast<uint8_t>(rng());
  return v;
}

// Source and destination buffers for one case; one pair when hot, enough
// pairs to overflow any cache when cold.
struct Buffers {
  std::vector<std::vector<uint8_t>> src, dst;
  Buffers(const Case& c, bool cold) {
    const std::size_t srcBytes = static_cast<std::size_t>(c.srcW) * c.srcH * 3;
    const std::size_t dstBytes = static_cast<std::size_t>(c.dstW) * c.dstH * 3;
    std::size_t pairs = 1;
    if (cold) pairs = std::max<std::size_t>(4, (256u << 20) / (srcBytes + dstBytes) + 1);
    for (std::size_t i = 0; i < pairs; ++i) {
      src.push_back(Noise(srcBytes, static_cast<uint32_t>(i)));
      dst.emplace_back(dstBytes, 0);
    }
  }
};

using ScaleFn = std::function<void(const uint8_t* src, uint8_t* dst, const Case& c)>;

void RunScale(benchmark::State& state, const Case& c, bool cold, const ScaleFn& fn) {
  Buffers buffers(c, cold);
  std::size_t i = 0;
  for (auto _ : state) {
    fn(buffers.src[i].data(), buffers.dst[i].data(), c);
    benchmark::DoNotOptimize(buffers.dst[i].data());
    benchmark::ClobberMemory();
    if (++i == buffers.src.size()) i = 0;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * c.dstW * c.dstH * 3);
}

// Runs fn with a kernel choice in force, restoring Auto afterwards.
ScaleFn WithKernels(PixelKernels kernels, ScaleFn fn) {
  return [kernels, fn](const uint8_t* s, uint8_t* d, const Case& c) {
    SetPixelKernels(kernels);
    fn(s, d, c);
    SetPixelKernels(PixelKernels::Auto);
  };
}

struct SwsHolder {
  SwsContext* ctx = nullptr;
  ~SwsHolder() { sws_freeContext(ctx); }
};

ScaleFn Swscale(int flags) {
  auto holder = std::make_shared<SwsHolder>();
  return [holder, flags](const uint8_t* s, uint8_t* d, const Case& c) {
    holder->ctx = sws_getCachedContext(holder->ctx, c.srcW, c.srcH, AV_PIX_FMT_BGR24, c.dstW,
                                       c.dstH, AV_PIX_FMT_BGR24, flags, nullptr, nullptr, nullptr);
    const uint8_t* srcPlanes[4] = {s, nullptr, nullptr, nullptr};
    const int srcStride[4] = {c.srcW * 3, 0, 0, 0};
    uint8_t* dstPlanes[4] = {d, nullptr, nullptr, nullptr};
    const int dstStride[4] = {c.dstW * 3, 0, 0, 0};
    sws_scale(holder->ctx, srcPlanes, srcStride, 0, c.srcH, dstPlanes, dstStride);
  };
}

void RegisterScalers() {
  struct Routine {
    std::string name;
    ScaleFn fn;
  };
  WorkerPool* pool = &DefaultWorkerPool();
  const std::vector<Routine> routines = {
      {"ScaleNearest_pool", [pool](const uint8_t* s, uint8_t* d, const Case& c) {
         ScaleNearest(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3, pool);
       }},
      {"ScaleNearest_1thread", [](const uint8_t* s, uint8_t* d, const Case& c) {
         ScaleNearest(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3, nullptr);
       }},
      {"ScaleNearest_portable_1thread",
       WithKernels(PixelKernels::Portable, [](const uint8_t* s, uint8_t* d, const Case& c) {
         ScaleNearest(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3, nullptr);
       })},
      {"ScaleNearest_oracle", [](const uint8_t* s, uint8_t* d, const Case& c) {
         reference::ScaleNearest(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3);
       }},
      {"ScaleBilinear_pool", [pool](const uint8_t* s, uint8_t* d, const Case& c) {
         ScaleBilinear(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3, pool);
       }},
      {"ScaleBilinear_1thread", [](const uint8_t* s, uint8_t* d, const Case& c) {
         ScaleBilinear(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3, nullptr);
       }},
      {"ScaleBilinear_portable_1thread",
       WithKernels(PixelKernels::Portable, [](const uint8_t* s, uint8_t* d, const Case& c) {
         ScaleBilinear(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3, nullptr);
       })},
      {"ScaleBilinear_oracle", [](const uint8_t* s, uint8_t* d, const Case& c) {
         reference::ScaleBilinear(s, c.srcW, c.srcH, d, c.dstW, c.dstH, 3);
       }},
      {"libyuv_none", [](const uint8_t* s, uint8_t* d, const Case& c) {
         libyuv::RGBScale(s, c.srcW * 3, c.srcW, c.srcH, d, c.dstW * 3, c.dstW, c.dstH,
                          libyuv::kFilterNone);
       }},
      {"libyuv_bilinear", [](const uint8_t* s, uint8_t* d, const Case& c) {
         libyuv::RGBScale(s, c.srcW * 3, c.srcW, c.srcH, d, c.dstW * 3, c.dstW, c.dstH,
                          libyuv::kFilterBilinear);
       }},
      {"memcpy", [](const uint8_t*, uint8_t* d, const Case& c) {
         // The physical floor: move the destination's bytes once, from a
         // buffer of the same size.
         static thread_local std::vector<uint8_t> from;
         const std::size_t bytes = static_cast<std::size_t>(c.dstW) * c.dstH * 3;
         if (from.size() < bytes) from.assign(bytes, 1);
         std::memcpy(d, from.data(), bytes);
       }},
  };
  for (const Routine& r : routines) {
    for (const Case& c : kCases) {
      for (bool cold : {false, true}) {
        const std::string name = r.name + (cold ? "_cold/" : "/") + c.Name();
        benchmark::RegisterBenchmark(name.c_str(), [r, c, cold](benchmark::State& state) {
          RunScale(state, c, cold, r.fn);
        })->Unit(benchmark::kMicrosecond);
      }
    }
  }
  // libswscale keeps a context per call site; each case gets its own.
  for (const char* kind : {"swscale_point", "swscale_bilinear"}) {
    for (const Case& c : kCases) {
      for (bool cold : {false, true}) {
        const std::string name = std::string(kind) + (cold ? "_cold/" : "/") + c.Name();
        const int flags = std::strcmp(kind, "swscale_point") == 0 ? SWS_POINT : SWS_BILINEAR;
        benchmark::RegisterBenchmark(name.c_str(), [c, cold, flags](benchmark::State& state) {
          RunScale(state, c, cold, Swscale(flags));
        })->Unit(benchmark::kMicrosecond);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Blending, cross-fade and key mask at 1920 x 1080.

constexpr int kW = 1920, kH = 1080;

void BM_BlendRect(benchmark::State& state, bool masked, PixelKernels kernels) {
  const auto src = Noise(kW * kH * 3, 1);
  auto dst = Noise(kW * kH * 3, 2);
  auto mask = Noise(kW * kH, 3);
  for (auto& m : mask) m = m < 85 ? 0 : m < 170 ? 128 : 255;
  SetPixelKernels(kernels);
  for (auto _ : state) {
    BlendRect(src.data(), kW, kH, dst.data(), kW, kH, 3, 0, 0, 100, masked ? mask.data() : nullptr);
    benchmark::ClobberMemory();
  }
  SetPixelKernels(PixelKernels::Auto);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kW * kH * 3);
}

void BM_CrossFade(benchmark::State& state, PixelKernels kernels) {
  const auto other = Noise(kW * kH * 3, 4);
  auto out = Noise(kW * kH * 3, 5);
  SetPixelKernels(kernels);
  for (auto _ : state) {
    CrossFade(other.data(), out.data(), kW, kH, 3, 77);
    benchmark::ClobberMemory();
  }
  SetPixelKernels(PixelKernels::Auto);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kW * kH * 3);
}

void BM_BuildKeyMask(benchmark::State& state, PixelKernels kernels) {
  auto image = Noise(kW * kH * 3, 6);
  for (std::size_t i = 0; i < image.size(); i += 3) {
    if (image[i] & 1) image[i + 1] = 255, image[i] = image[i + 2] = 0;
  }
  std::vector<uint8_t> mask(kW * kH);
  SetPixelKernels(kernels);
  for (auto _ : state) {
    BuildKeyMask(image.data(), kW, kH, 3, mask.data());
    benchmark::ClobberMemory();
  }
  SetPixelKernels(PixelKernels::Auto);
}

void RegisterPixelOps() {
  const std::pair<const char*, PixelKernels> kernels[] = {{"", PixelKernels::Auto},
                                                          {"_portable", PixelKernels::Portable}};
  for (const auto& [suffix, k] : kernels) {
    const std::string s = suffix;
    benchmark::RegisterBenchmark(("BlendRect_alpha" + s + "/1920x1080").c_str(), BM_BlendRect, false, k)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("BlendRect_mask" + s + "/1920x1080").c_str(), BM_BlendRect, true, k)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("CrossFade" + s + "/1920x1080").c_str(), BM_CrossFade, k)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("BuildKeyMask" + s + "/1920x1080").c_str(), BM_BuildKeyMask, k)
        ->Unit(benchmark::kMicrosecond);
  }
}

// ---------------------------------------------------------------------------
// The reference program: 1920 x 1080 with four zones, every source
// delivering a new frame before each composition.

VideoZone BenchZone(int placement, int source, float size, bool keepAspect) {
  VideoZone zone;
  zone.placement = placement;
  zone.sourceId = source;
  zone.widthFrac = zone.heightFrac = size;
  zone.keepAspect = keepAspect;
  return zone;
}

void BM_ComposeReference(benchmark::State& state) {
  ResetKeySettings();
  OutputFormat format;
  format.SetSize(1920, 1080);
  SourceSlotTable slots;
  ImageLayerHooks layers;
  auto engine = VideoEngine::Create(slots, format, layers);
  VideoZone full = BenchZone(VIDPOS_FULLSCREEN, 0, 100, true);
  VideoZone corner = BenchZone(VIDPOS_TOP_RIGHT, 1, 50, false);
  corner.alpha = 128;
  VideoZone keyed = BenchZone(VIDPOS_FULLSCREEN_NAR, 2, 100, false);
  keyed.chroma = true;
  VideoZone inset = BenchZone(VIDPOS_FREE, 3, 30, false);
  inset.posXFrac = 5;
  inset.posYFrac = 5;
  engine->StoreScene({full, corner, keyed, inset}, "reference", -1);

  struct Source {
    int w, h;
    std::vector<uint8_t> frames[2];
  } sources[4] = {{1280, 720, {}}, {640, 480, {}}, {640, 480, {}}, {320, 240, {}}};
  for (int s = 0; s < 4; ++s) {
    for (int f = 0; f < 2; ++f) {
      sources[s].frames[f] = Noise(static_cast<std::size_t>(sources[s].w) * sources[s].h * 3,
                                   static_cast<uint32_t>(10 * s + f));
    }
  }
  // The keyed source is a green screen with a picture in its middle.
  for (auto& frame : sources[2].frames) {
    for (std::size_t i = 0; i < frame.size(); i += 3) {
      const std::size_t pixel = i / 3, x = pixel % 640;
      if (x < 160 || x >= 480) frame[i] = 0, frame[i + 1] = 255, frame[i + 2] = 0;
    }
  }
  std::vector<uint8_t> out(format.frameBytes + 1);
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int s = 0; s < 4; ++s) {
      const auto& frame = sources[s].frames[n & 1];
      slots.DeliverFrame(false, static_cast<uint8_t>(s), frame.data(),
                         static_cast<uint32_t>(frame.size()), sources[s].w, sources[s].h);
    }
    ++n;
    state.ResumeTiming();
    if (!engine->ComposeProgramFrame(out.data(), format.frameBytes)) {
      state.SkipWithError("nothing composed");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  RegisterScalers();
  RegisterPixelOps();
  benchmark::RegisterBenchmark("ComposeProgramFrame/reference_1080p", BM_ComposeReference)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("pixel_kernels", CpuHasAvx2() ? "avx2" : "portable");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
