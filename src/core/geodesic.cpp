#include "core/geodesic.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace lumoreq::geo {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180;
const double kTiny = std::sqrt(std::numeric_limits<double>::min());
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

inline double sq(double x) { return x * x; }

// sin and cos of degrees, exact at multiples of 90.
void sincosd(double x, double& s, double& c) {
    int q = 0;
    double r = std::remquo(x, 90.0, &q);
    r *= kDeg;
    const double sr = std::sin(r), cr = std::cos(r);
    switch (static_cast<unsigned>(q) & 3u) {
        case 0:
            s = sr;
            c = cr;
            break;
        case 1:
            s = cr;
            c = -sr;
            break;
        case 2:
            s = -sr;
            c = -cr;
            break;
        default:
            s = -cr;
            c = sr;
            break;
    }
    if (x == 0) s = x;
    c += 0.0;  // no negative zero
}

// Angles closer to zero than about 1e-18 degrees are taken as zero: below that the
// products in the series underflow long before they could matter to a distance.
double round_tiny(double x) {
    constexpr double z = 1.0 / 16;
    double y = std::fabs(x);
    if (y < z) y = z - (z - y);
    return x < 0 ? -y : y + 0.0;
}

inline void normalize(double& s, double& c) {
    const double h = std::hypot(s, c);
    s /= h;
    c /= h;
}

// Sum of c[l] sin(2 l sigma), l = 1..6, by Clenshaw's recurrence.
double sin_series(const double c[7], double ssig, double csig) {
    const double ar = 2 * (csig - ssig) * (csig + ssig);  // 2 cos(2 sigma)
    double y0 = 0, y1 = 0;
    for (int l = 6; l >= 1; --l) {
        const double t = ar * y0 - y1 + c[l];
        y1 = y0;
        y0 = t;
    }
    return 2 * ssig * csig * y0;
}

// Distance integral I1 = A1 (sigma + sum C1l sin 2l sigma).
double a1(double eps) {
    const double e2 = eps * eps;
    return (1 + e2 * (1.0 / 4 + e2 * (1.0 / 64 + e2 / 256))) / (1 - eps);
}
void c1(double eps, double c[7]) {
    const double e2 = eps * eps;
    double d = eps;
    c[1] = d * (-1.0 / 2 + e2 * (3.0 / 16 - e2 / 32));
    d *= eps;
    c[2] = d * (-1.0 / 16 + e2 * (1.0 / 32 - e2 * 9.0 / 2048));
    d *= eps;
    c[3] = d * (-1.0 / 48 + e2 * 3.0 / 256);
    d *= eps;
    c[4] = d * (-5.0 / 512 + e2 * 3.0 / 512);
    d *= eps;
    c[5] = d * (-7.0 / 1280);
    d *= eps;
    c[6] = d * (-7.0 / 2048);
}

// I2 = A2 (sigma + sum C2l sin 2l sigma), for the reduced length.
double a2(double eps) {
    const double e2 = eps * eps;
    return (1 - e2 * (3.0 / 4 + e2 * (7.0 / 64 + e2 * 11.0 / 256))) / (1 + eps);
}
void c2(double eps, double c[7]) {
    const double e2 = eps * eps;
    double d = eps;
    c[1] = d * (1.0 / 2 + e2 * (1.0 / 16 + e2 / 32));
    d *= eps;
    c[2] = d * (3.0 / 16 + e2 * (1.0 / 32 + e2 * 35.0 / 2048));
    d *= eps;
    c[3] = d * (5.0 / 48 + e2 * 5.0 / 256);
    d *= eps;
    c[4] = d * (35.0 / 512 + e2 * 7.0 / 512);
    d *= eps;
    c[5] = d * (63.0 / 1280);
    d *= eps;
    c[6] = d * (77.0 / 2048);
}

// Positive root of mu^4 + 2 mu^3 + (1 - x^2 - y^2) mu^2 - 2 y^2 mu - y^2 = 0 (the astroid).
double astroid(double x, double y) {
    const double p = x * x, q = y * y;
    auto poly = [&](double m) { return (((m + 2) * m + (1 - p - q)) * m - 2 * q) * m - q; };
    auto slope = [&](double m) { return ((4 * m + 6) * m + 2 * (1 - p - q)) * m - 2 * q; };
    double lo = 0, hi = 1 + std::sqrt(p + q) + 1;
    while (poly(hi) < 0) hi *= 2;
    double m = hi;
    for (int i = 0; i < 200; ++i) {
        const double v = poly(m);
        if (v == 0) return m;
        (v > 0 ? hi : lo) = m;
        const double d = slope(m);
        double next = d > 0 ? m - v / d : 0.5 * (lo + hi);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (next == m) break;
        m = next;
    }
    return m;
}

}  // namespace

GeodesicLine::GeodesicLine(double a, double f)
    : a_(a), f_(f), f1_(1 - f), e2_(f * (2 - f)), ep2_(e2_ / sq(1 - f)), n_(f / (2 - f)), b_(a * (1 - f)) {}

// Longitude integral I3 = A3 (sigma + sum C3l sin 2l sigma), series in eps and n.
double GeodesicLine::a3(double eps) const {
    const double n = n_;
    return 1 - eps * ((1.0 / 2 - n / 2) + eps * ((1.0 / 4 + n / 8 - 3 * n * n / 8) +
                                                 eps * ((1.0 / 16 + 3 * n / 16 + n * n / 16) +
                                                        eps * ((3.0 / 64 + n / 32) + eps * (3.0 / 128)))));
}

void GeodesicLine::c3(double eps, double c[7]) const {
    const double n = n_, n2 = n * n;
    const double e1 = eps, e2 = e1 * eps, e3 = e2 * eps, e4 = e3 * eps, e5 = e4 * eps;
    c[1] = (1.0 / 4 - n / 4) * e1 + (1.0 / 8 - n2 / 8) * e2 + (3.0 / 64 + 3 * n / 64 - n2 / 64) * e3 +
           (5.0 / 128 + n / 64) * e4 + (3.0 / 128) * e5;
    c[2] = (1.0 / 16 - 3 * n / 32 + n2 / 32) * e2 + (3.0 / 64 - n / 32 - 3 * n2 / 64) * e3 +
           (3.0 / 128 + n / 128) * e4 + (5.0 / 256) * e5;
    c[3] = (5.0 / 192 - 3 * n / 64 + 5 * n2 / 192) * e3 + (3.0 / 128 - 5 * n / 192) * e4 + (7.0 / 512) * e5;
    c[4] = (7.0 / 512 - 7 * n / 256) * e4 + (7.0 / 512) * e5;
    c[5] = (21.0 / 2560) * e5;
    c[6] = 0;
}

GeodesicLine::Lengths GeodesicLine::lengths(double eps, double sig12, double ssig1, double csig1, double dn1,
                                            double ssig2, double csig2, double dn2) const {
    double cc1[7], cc2[7];
    c1(eps, cc1);
    c2(eps, cc2);
    const double A1 = a1(eps), A2 = a2(eps);
    const double B1 = sin_series(cc1, ssig2, csig2) - sin_series(cc1, ssig1, csig1);
    const double B2 = sin_series(cc2, ssig2, csig2) - sin_series(cc2, ssig1, csig1);
    Lengths out;
    out.s12b = A1 * (sig12 + B1);
    const double J12 = (A1 - A2) * sig12 + (A1 * B1 - A2 * B2);  // J = I1 - I2
    out.m12b = dn2 * (csig1 * ssig2) - dn1 * (ssig1 * csig2) - csig1 * csig2 * J12;
    return out;
}

GeodesicLine::Lambda GeodesicLine::lambda12(double sbet1, double cbet1, double dn1, double sbet2,
                                            double cbet2, double dn2, double salp1, double calp1) const {
    if (sbet1 == 0 && calp1 == 0) calp1 = -kTiny;  // leave the equator going south
    const double salp0 = salp1 * cbet1;
    const double calp0 = std::hypot(calp1, salp1 * sbet1);
    double ssig1 = sbet1, csig1 = calp1 * cbet1;
    const double somg1 = salp0 * sbet1, comg1 = calp1 * cbet1;
    normalize(ssig1, csig1);
    // cos(alp2) cos(bet2) from Clairaut's relation, written to keep precision.
    const double calp2 =
        (cbet2 != cbet1 || std::fabs(sbet2) != -sbet1)
            ? std::sqrt(sq(calp1 * cbet1) + (cbet1 < -sbet1 ? (cbet2 - cbet1) * (cbet1 + cbet2)
                                                            : (sbet1 - sbet2) * (sbet1 + sbet2))) /
                  cbet2
            : std::fabs(calp1);
    double ssig2 = sbet2, csig2 = calp2 * cbet2;
    const double somg2 = salp0 * sbet2, comg2 = calp2 * cbet2;
    normalize(ssig2, csig2);
    const double sig12 =
        std::atan2(std::max(0.0, csig1 * ssig2 - ssig1 * csig2), csig1 * csig2 + ssig1 * ssig2);
    const double omg12 =
        std::atan2(std::max(0.0, comg1 * somg2 - somg1 * comg2), comg1 * comg2 + somg1 * somg2);
    const double k2 = sq(calp0) * ep2_;
    const double eps = k2 / (2 * (1 + std::sqrt(1 + k2)) + k2);
    double cc3[7];
    c3(eps, cc3);
    const double B3 = sin_series(cc3, ssig2, csig2) - sin_series(cc3, ssig1, csig1);
    Lambda out;
    out.lam12 = omg12 - f_ * salp0 * a3(eps) * (sig12 + B3);
    out.sig12 = sig12;
    out.eps = eps;
    out.ssig1 = ssig1;
    out.csig1 = csig1;
    out.ssig2 = ssig2;
    out.csig2 = csig2;
    if (calp2 == 0) {
        out.dlam12 = -2 * f1_ * dn1 / sbet1;
    } else {
        const Lengths l = lengths(eps, sig12, ssig1, csig1, dn1, ssig2, csig2, dn2);
        out.dlam12 = l.m12b * f1_ / (calp2 * cbet2);
    }
    return out;
}

double GeodesicLine::distance(double lat1, double lon1, double lat2, double lon2) const {
    double lon12 = std::remainder(lon2 - lon1, 360.0);
    lon12 = round_tiny(std::fabs(lon12));
    lat1 = round_tiny(lat1);
    lat2 = round_tiny(lat2);
    // Canonical order: |lat1| >= |lat2|, lat1 <= 0, lon12 in [0, 180].
    if (std::fabs(lat1) < std::fabs(lat2)) std::swap(lat1, lat2);
    if (lat1 > 0) {
        lat1 = -lat1;
        lat2 = -lat2;
    }
    double sphi, cphi;
    sincosd(lat1, sphi, cphi);
    double sbet1 = f1_ * sphi, cbet1 = cphi;
    normalize(sbet1, cbet1);
    cbet1 = std::max(kTiny, cbet1);
    sincosd(lat2, sphi, cphi);
    double sbet2 = f1_ * sphi, cbet2 = cphi;
    normalize(sbet2, cbet2);
    cbet2 = std::max(kTiny, cbet2);
    // Same parallel: same reduced latitude, so the special cases below see it.
    if (cbet1 < -sbet1) {
        if (cbet2 == cbet1) sbet2 = sbet2 < 0 ? sbet1 : -sbet1;
    } else if (std::fabs(sbet2) == -sbet1) {
        cbet2 = cbet1;
    }
    const double dn1 = std::sqrt(1 + ep2_ * sq(sbet1));
    const double dn2 = std::sqrt(1 + ep2_ * sq(sbet2));
    const double lam12 = lon12 * kDeg;
    double slam12, clam12;
    sincosd(lon12, slam12, clam12);

    if (lat1 == -90 || slam12 == 0) {
        // Along a meridian (through the pole when lon12 is 180).
        const double calp1 = clam12, salp1 = slam12;
        double ssig1 = sbet1, csig1 = calp1 * cbet1;
        double ssig2 = sbet2, csig2 = cbet2;  // heading north at the far end
        (void)salp1;
        normalize(ssig1, csig1);
        normalize(ssig2, csig2);
        const double sig12 =
            std::atan2(std::max(0.0, csig1 * ssig2 - ssig1 * csig2), csig1 * csig2 + ssig1 * ssig2);
        const double eps = ep2_ / (2 * (1 + std::sqrt(1 + ep2_)) + ep2_);
        const Lengths l = lengths(eps, sig12, ssig1, csig1, dn1, ssig2, csig2, dn2);
        // Shortest unless a conjugate point lies between (long lines across the pole).
        if (sig12 < 1 || l.m12b >= 0) return b_ * l.s12b;
    }
    if (sbet1 == 0 && sbet2 == 0 && (f_ <= 0 || lon12 <= 180 * f1_)) {
        return a_ * lam12;  // along the equator
    }

    // First guess of the azimuth at point 1.
    const double sbet12 = sbet2 * cbet1 - cbet2 * sbet1;   // sin(bet2 - bet1)
    const double cbet12 = cbet2 * cbet1 + sbet2 * sbet1;   // cos(bet2 - bet1)
    const double sbet12a = sbet2 * cbet1 + cbet2 * sbet1;  // sin(bet2 + bet1)
    const bool shortline = cbet12 >= 0 && sbet12 < 0.5 && cbet2 * lam12 < 0.5;
    double somg12 = slam12, comg12 = clam12;
    if (shortline) {
        // On a sphere of the mean radius of curvature along the line.
        double sbetm2 = sq(sbet1 + sbet2);
        sbetm2 /= sbetm2 + sq(cbet1 + cbet2);
        const double omg12 = lam12 / (f1_ * std::sqrt(1 + ep2_ * sbetm2));
        somg12 = std::sin(omg12);
        comg12 = std::cos(omg12);
    }
    double salp1 = cbet2 * somg12;
    double calp1 = comg12 >= 0 ? sbet12 + cbet2 * sbet1 * sq(somg12) / (1 + comg12)
                               : sbet12a - cbet2 * sbet1 * sq(somg12) / (1 - comg12);
    const double csig12 = sbet1 * sbet2 + cbet1 * cbet2 * comg12;
    const double ssig12 = std::hypot(salp1, calp1);
    if (!(std::fabs(n_) > 0.1 || csig12 >= 0 || ssig12 >= 6 * std::fabs(n_) * kPi * sq(cbet1))) {
        // Nearly antipodal: scaled coordinates around the antipode, where the first guess
        // comes from the astroid (or from the cut along the equator's antipodal segment).
        const double lam12x = std::atan2(-slam12, -clam12);  // lam12 - pi
        const double k2 = sq(sbet1) * ep2_;
        const double eps = k2 / (2 * (1 + std::sqrt(1 + k2)) + k2);
        const double lamscale = f_ * cbet1 * a3(eps) * kPi;
        const double betscale = lamscale * cbet1;
        const double x = lam12x / lamscale, y = sbet12a / betscale;
        if (y > -200 * kEpsilon && x > -1 - 1000 * std::sqrt(kEpsilon)) {
            salp1 = std::min(1.0, -x);
            calp1 = -std::sqrt(1 - sq(salp1));
        } else {
            const double mu = astroid(x, y);
            const double omg12a = lamscale * (-x * mu / (1 + mu));
            const double so = std::sin(omg12a), co = -std::cos(omg12a);
            salp1 = cbet2 * so;
            calp1 = sbet12a - cbet2 * sbet1 * sq(so) / (1 - co);
        }
    }
    normalize(salp1, calp1);
    if (!(salp1 > 0)) {  // keep the guess strictly inside (0, pi)
        salp1 = kTiny;
        normalize(salp1, calp1);
    }

    // Newton on alp1 in (0, pi), where lam12 grows with alp1; bisection keeps it bracketed.
    // The azimuth is carried as (sin, cos): near 90 degrees its cosine keeps full precision,
    // which nearly equatorial lines need.
    auto ahead = [](double sa, double ca, double sb, double cb) {
        return sb * ca - cb * sa > 0;
    };  // b after a
    double slo = kTiny, clo = 1, shi = kTiny, chi = -1;
    normalize(slo, clo);
    normalize(shi, chi);
    Lambda best{};
    for (int iter = 0; iter < 300; ++iter) {
        best = lambda12(sbet1, cbet1, dn1, sbet2, cbet2, dn2, salp1, calp1);
        const double v = best.lam12 - lam12;
        if (std::fabs(v) <= 4 * kEpsilon) break;
        if (v > 0) {
            shi = salp1;
            chi = calp1;
        } else {
            slo = salp1;
            clo = calp1;
        }
        double ns = 0, nc = 0;
        bool newton = false;
        if (best.dlam12 > 0) {
            const double dalp = -v / best.dlam12;
            if (std::fabs(dalp) < kPi / 2) {
                const double sd = std::sin(dalp), cd = std::cos(dalp);
                ns = salp1 * cd + calp1 * sd;
                nc = calp1 * cd - salp1 * sd;
                normalize(ns, nc);
                newton = ns > 0 && ahead(slo, clo, ns, nc) && ahead(ns, nc, shi, chi);
            }
        }
        if (!newton) {
            ns = slo + shi;
            nc = clo + chi;
            normalize(ns, nc);
        }
        if (ns == salp1 && nc == calp1) break;
        salp1 = ns;
        calp1 = nc;
    }
    const Lengths l = lengths(best.eps, best.sig12, best.ssig1, best.csig1, dn1, best.ssig2, best.csig2, dn2);
    return b_ * l.s12b;
}

const GeodesicLine& wgs84_km() {
    static const GeodesicLine line(6378.137, 1 / 298.257223563);
    return line;
}

}  // namespace lumoreq::geo
