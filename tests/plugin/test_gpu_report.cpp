#include <gtest/gtest.h>

#include "op/GpuReport.h"

using namespace magnifex;

TEST(GpuSupportTable, ListedAndOpenRangesPerCudaVersion)
{
  // CUDA 10.1: everything from 7.5 up, 8.0 included.
  EXPECT_TRUE(is_supported(80, 10010));
  EXPECT_TRUE(is_supported(75, 10010));
  EXPECT_FALSE(is_supported(72, 10010));
  // 11.1 / 11.2: a gap between 7.5 and 8.6.
  for (long v : {11010L, 11020L}) {
    EXPECT_TRUE(is_supported(75, v));
    EXPECT_FALSE(is_supported(80, v));
    EXPECT_TRUE(is_supported(86, v));
    EXPECT_TRUE(is_supported(120, v));
  }
  // 11.8: 8.6 listed, 8.7 and 8.8 not, 8.9 and up.
  EXPECT_TRUE(is_supported(86, 11080));
  EXPECT_FALSE(is_supported(80, 11080));
  EXPECT_FALSE(is_supported(87, 11080));
  EXPECT_TRUE(is_supported(89, 11080));
  EXPECT_TRUE(is_supported(120, 11080));
  // 12.8 drops 3.5 and has a gap from 9.0 to 11.x.
  EXPECT_FALSE(is_supported(35, 12080));
  EXPECT_TRUE(is_supported(89, 12080));
  EXPECT_FALSE(is_supported(90, 12080));
  EXPECT_TRUE(is_supported(120, 12080));
  // Below 3.5 never under a listed version; anything goes under another version.
  for (long v : {10010L, 11010L, 11020L, 11080L, 12080L})
    EXPECT_FALSE(is_supported(30, v)) << v;
  EXPECT_TRUE(is_supported(30, 13000));
  EXPECT_TRUE(is_supported(0, 12000));
}

TEST(GpuSupportTable, NumberParsingFollowsStoi)
{
  EXPECT_EQ(parse_int("86"), 86);
  EXPECT_EQ(parse_int(" 120"), 120);
  EXPECT_EQ(parse_int(""), std::nullopt);
  EXPECT_EQ(parse_int("sm"), std::nullopt);
  EXPECT_EQ(parse_int("99999999999"), std::nullopt);
  EXPECT_EQ(capability_digits(12, 0), "120");
  EXPECT_EQ(capability_digits(7, 5), "75");
}

TEST(NativeCapability, LastArchitectureOfTheFirstNvccLine)
{
  const std::string config =
    "PyTorch built with:\n"
    "  - CUDA Runtime 11.8\n"
    "  - NVCC architecture flags: -gencode;arch=compute_75,code=sm_75;-gencode;arch=compute_90,code=sm_90\n"
    "  - NVCC architecture flags: -gencode;arch=compute_50,code=sm_50\n";
  EXPECT_EQ(native_capability_from_config(config), std::optional<std::string>("90"));

  // The last listed, not the largest.
  EXPECT_EQ(native_capability_from_config("  - NVCC architecture flags: code=sm_90;code=compute_86\n"),
            std::optional<std::string>("86"));
  // No digits after the last marker character gives an empty value, not "unchanged".
  EXPECT_EQ(native_capability_from_config("  - NVCC architecture flags: -gencode;arch=compute_86,code=sm_\n"),
            std::optional<std::string>(""));
  // No such line, or no marker character in it: the caller keeps its value.
  EXPECT_EQ(native_capability_from_config("  - CUDA Runtime 12.8\n"), std::nullopt);
  EXPECT_EQ(native_capability_from_config(" - NVCC architecture flags: sm_90\n"), std::nullopt);
  // The marker's own "flags" holds an 's': a line without architectures gives an empty value.
  EXPECT_EQ(native_capability_from_config("  - NVCC architecture flags: 1;2;3\n"), std::optional<std::string>(""));
  EXPECT_EQ(native_capability_from_config(""), std::nullopt);
}

TEST(NativeCapability, FallbackTable)
{
  EXPECT_EQ(fallback_native_capability(10010), "75");
  EXPECT_EQ(fallback_native_capability(11010), "86");
  EXPECT_EQ(fallback_native_capability(11020), "86");
  EXPECT_EQ(fallback_native_capability(11080), "89");
  EXPECT_EQ(fallback_native_capability(12080), "120");
  EXPECT_EQ(fallback_native_capability(13000), "");
}

TEST(GpuReportTexts, MemoryLineAtTwoSignificantDigits)
{
  const std::uint64_t gib = 1024ull * 1024ull * 1024ull;
  EXPECT_EQ(gpu_memory_line(12 * gib, "86", true), "12Gb   Compute capability: sm_86");
  EXPECT_EQ(gpu_memory_line(8 * gib, "75", true), "8Gb   Compute capability: sm_75");
  EXPECT_EQ(gpu_memory_line(static_cast<std::uint64_t>(11.99 * gib), "86", true), "12Gb   Compute capability: sm_86");
  EXPECT_EQ(gpu_memory_line(141 * gib, "90", true), "1.4e+02Gb   Compute capability: sm_90");
  EXPECT_EQ(gpu_memory_line(12 * gib, "80", false),
            "12Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_80</font>");
  EXPECT_EQ(gpu_memory_line(12 * gib, "", false), "-");
}

TEST(GpuReportTexts, AboutLines)
{
  EXPECT_EQ(cuda_version_line(11080, 8401), "This version is built against CUDA 11.8.0 and cuDNN 8.4.1");
  EXPECT_EQ(cuda_version_line(12080, 8902), "This version is built against CUDA 12.8.0 and cuDNN 8.9.2");
  EXPECT_EQ(cuda_version_line(13000, 91900), "This version is built against CUDA 13.0.0 and cuDNN 9.19.0");
  EXPECT_EQ(cuda_version_line(-1, -1), "This version is built without CUDA");

  EXPECT_EQ(native_support_line(11080, "89"), "with native support for GPUs up to compute capability sm_89.");
  EXPECT_EQ(native_support_line(13000, ""), "with native support for GPUs up to an unknown compute capability.");

  EXPECT_EQ(kernel_info_text("89", "86"), "Since your current GPU is sm_86, you will rely on native kernels.");
  EXPECT_EQ(kernel_info_text("90", "120"), "Since your current GPU is sm_120, you will rely on JIT-compiled kernels.");
  EXPECT_EQ(kernel_info_text("86", "86"), "Since your current GPU is sm_86, you will rely on native kernels.");
  EXPECT_NE(kernel_info_text("", "86").find("unknown"), std::string::npos);

  EXPECT_EQ(compatibility_text(11080, 8401).rfind("This exact combination of CUDA/cuDNN versions is matching\n", 0),
            0u);
  EXPECT_EQ(compatibility_text(12080, 8902).rfind("This exact combination of CUDA/cuDNN versions is NOT matching\n", 0),
            0u);
  EXPECT_EQ(compatibility_text(11080, 8902), compatibility_text(12080, 8902));
}

TEST(KernelWarnings, OnlyForGpusNewerThanTheNativeKernels)
{
  EXPECT_TRUE(kernel_warning_lines("89", "86", nullptr, nullptr).empty());
  EXPECT_TRUE(kernel_warning_lines("", "120", nullptr, nullptr).empty()); // conversion fails: quiet
  EXPECT_TRUE(kernel_warning_lines("90", "", nullptr, nullptr).empty());

  const auto unset = kernel_warning_lines("90", "120", nullptr, nullptr);
  ASSERT_EQ(unset.size(), 2u);
  EXPECT_EQ(unset[0], "Magnifex: This plugin build natively supports up to compute capability sm_90. Since your "
                      "current GPU is sm_120, you will rely on JIT-compiled kernels.");
  EXPECT_NE(unset[1].find("is not set"), std::string::npos);
}

TEST(KernelWarnings, SuppressionNeedsExactlyOne)
{
  EXPECT_TRUE(kernel_warning_lines("90", "120", "1", nullptr).empty());
  EXPECT_EQ(kernel_warning_lines("90", "120", "true", nullptr).size(), 2u);
  EXPECT_EQ(kernel_warning_lines("90", "120", "1 ", nullptr).size(), 2u);
  EXPECT_EQ(kernel_warning_lines("90", "120", "", nullptr).size(), 2u);
}

TEST(KernelWarnings, CacheSizeThreshold)
{
  auto verdict = [](const char* value) { return kernel_warning_lines("90", "120", nullptr, value).at(1); };
  const std::string low = "set too low";
  const std::string ok = "meets the minimum requirement";
  EXPECT_NE(verdict("4000000000").find(ok), std::string::npos);
  EXPECT_NE(verdict("3999999999").find(low), std::string::npos);
  EXPECT_NE(verdict("8589934592").find(ok), std::string::npos);
  EXPECT_NE(verdict("  +8589934592xyz").find(ok), std::string::npos);
  EXPECT_NE(verdict("lots").find(low), std::string::npos); // no digits reads as 0
  EXPECT_NE(verdict("").find(low), std::string::npos);
  EXPECT_NE(verdict("99999999999999999999999").find(ok), std::string::npos); // saturates high
  EXPECT_NE(verdict("-5000000000").find(low), std::string::npos);
}
