#include "kavrel_ops/application/linalg/svd/triangular_pair.hpp"

#include <cmath>
#include <utility>

namespace kavrel_ops::application::linalg::svd::triangular_pair {

namespace {

// sqrt(a² + b²) as big·sqrt((small/big)² + 1): no overflow for any finite pair.
double hyp(double a, double b) noexcept {
    const double u = std::fabs(a), v = std::fabs(b);
    const double big = v <= u ? u : v;
    const double small = v <= u ? v : u;
    if (big == 0.0) return 0.0;
    const double q = small / big;
    return big * std::sqrt(q * q + 1.0);
}

double sgn(double x) noexcept { return x < 0.0 ? -1.0 : 1.0; }

}  // namespace

TriangularSvd triangular_svd(double f, double g, double h) noexcept {
    double ft = f, fa = std::fabs(f), ht = h, ha = std::fabs(h);
    // pmax names the entry of largest magnitude: 1 for f, 2 for g, 3 for h.
    int pmax = 1;
    const bool swap = ha > fa;
    if (swap) {
        pmax = 3;
        std::swap(ft, ht);
        std::swap(fa, ha);
    }
    const double gt = g, ga = std::fabs(g);
    double clt, crt, slt, srt, ssmin, ssmax;
    if (g == 0.0) {
        ssmin = ha;
        ssmax = fa;
        clt = 1.0;
        crt = 1.0;
        slt = 0.0;
        srt = 0.0;
    } else {
        bool general = true;
        if (ga > fa) {
            pmax = 2;
            // g dominates so far that the singular values are |g| and |f·h/g| to full precision.
            if (fa / ga < 0x1p-53) {
                general = false;
                ssmax = ga;
                ssmin = ha > 1.0 ? fa / (ga / ha) : (fa / ga) * ha;
                clt = 1.0;
                slt = ht / gt;
                srt = 1.0;
                crt = ft / gt;
            }
        }
        if (general) {
            const double dd = fa - ha;
            const double l = dd == fa ? 1.0 : dd / fa;
            const double mm = gt / ft;
            double t = 2.0 - l;
            const double s = hyp(t, mm);
            const double mm2 = mm * mm;
            const double rr = l == 0.0 ? std::fabs(mm) : hyp(l, mm);
            const double a = (s + rr) * 0.5;
            ssmin = ha / a;
            ssmax = fa * a;
            if (mm2 == 0.0) {
                if (l == 0.0) {
                    t = ft >= 0.0 ? 2.0 : -2.0;
                    if (gt < 0.0) t = -t;
                } else {
                    const double dds = ft < 0.0 ? -std::fabs(dd) : std::fabs(dd);
                    t = gt / dds + mm / t;
                }
            } else {
                t = (mm / (s + t) + mm / (rr + l)) * (1.0 + a);
            }
            const double l2 = hyp(t, 2.0);
            crt = 2.0 / l2;
            srt = t / l2;
            clt = (crt + srt * mm) / a;
            slt = (ht / ft) * srt / a;
            ssmax = std::fabs(ssmax);
        }
    }
    double csl, snl, csr, snr;
    if (swap) {
        csl = srt;
        snl = crt;
        csr = slt;
        snr = clt;
    } else {
        csl = clt;
        snl = slt;
        csr = crt;
        snr = srt;
    }
    double tsign;
    if (pmax == 1) tsign = sgn(csr) * sgn(csl) * sgn(f);
    else if (pmax == 2) tsign = sgn(snr) * sgn(csl) * sgn(g);
    else tsign = sgn(snr) * sgn(snl) * sgn(h);
    const double sigma_max = tsign < 0.0 ? -ssmax : ssmax;
    const double sigma_min = tsign * sgn(f) * sgn(h) < 0.0 ? -std::fabs(ssmin) : std::fabs(ssmin);
    return {sigma_max, sigma_min, csr, snr, csl, snl};
}

}  // namespace kavrel_ops::application::linalg::svd::triangular_pair
