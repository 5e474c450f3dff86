// How long each image library call holds the GUI thread, on a picture of the scanner's size
// (1500 x 2000, 16-bit) and on a full-HD 8-bit one. Prints the median and the slowest of a
// series; the first argument sets the number of runs.

#include "quorimage/quorimage.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// Shading, a few soft-edged bright shapes and sensor noise, in part of the depth's range, so
// that the stretch and the equalisation have real work to do.
cv::Mat syntheticPicture(int cols, int rows, int depth)
{
    cv::Mat picture(rows, cols, CV_32F);
    for (int y = 0; y < rows; ++y)
        picture.row(y).setTo(0.15 + 0.2 * y / rows);
    cv::RNG rng(20240607);
    for (int i = 0; i < 12; ++i) {
        const cv::Point centre(rng.uniform(0, cols), rng.uniform(0, rows));
        cv::ellipse(picture, centre, cv::Size(rng.uniform(60, 300), rng.uniform(60, 300)),
                    rng.uniform(0, 180), 0, 360, cv::Scalar(rng.uniform(0.3, 0.6)), cv::FILLED);
    }
    cv::GaussianBlur(picture, picture, cv::Size(), 6);
    cv::Mat noise(rows, cols, CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0, 0.01);
    picture += noise;
    cv::Mat out;
    picture.convertTo(out, depth, depth == CV_8U ? 255 : 65535);
    return out;
}

double medianMs(const std::function<cv::Mat()>& call, int runs, double* slowest)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const cv::Mat result = call();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (result.empty())
            std::fprintf(stderr, "a call gave an empty picture\n");
    }
    std::sort(ms.begin(), ms.end());
    *slowest = ms.back();
    return ms[ms.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 31;
    struct Case
    {
        const char* name;
        cv::Mat picture;
    };
    const Case cases[] = {{"1500 x 2000 16-bit", syntheticPicture(1500, 2000, CV_16U)},
                          {"1920 x 1080 8-bit", syntheticPicture(1920, 1080, CV_8U)}};
    for (const Case& c : cases) {
        const cv::Mat& p = c.picture;
        int level = 0;
        const std::pair<const char*, std::function<cv::Mat()>> calls[] = {
            {"quor_InitOstraImg", [&] { return quor_InitOstraImg(p, level); }},
            {"quor_Fine", [&] { return quor_Fine(p); }},
            {"quor_HD", [&] { return quor_HD(p); }},
            {"quor_rotate 90", [&] { return quor_rotate(p, 90); }},
            {"quor_flip 1", [&] { return quor_flip(p, 1); }},
        };
        std::printf("%s, %d runs each\n", c.name, runs);
        for (const auto& [name, call] : calls) {
            double slowest = 0;
            const double median = medianMs(call, runs, &slowest);
            std::printf("  %-18s median %7.2f ms, slowest %7.2f ms\n", name, median, slowest);
        }
        std::printf("  luminance level %d\n", level);
    }
    return 0;
}
