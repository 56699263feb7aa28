// Shortest distance between two points of an ellipsoid of revolution: the inverse geodesic
// problem solved after C. F. F. Karney, "Algorithms for geodesics", J. Geodesy 87 (2013):
// series in the third flattening for the distance and longitude integrals, a spherical or
// astroid first guess of the azimuth, and Newton's method on the azimuth kept inside a
// bracket (bisection when a step would leave it).
#pragma once

namespace lumoreq::geo {

class GeodesicLine {
   public:
    // a: equatorial radius (the result is in its unit); f: flattening.
    GeodesicLine(double a, double f);

    // Latitudes in [-90, 90] degrees, longitudes any finite degrees.
    double distance(double lat1, double lon1, double lat2, double lon2) const;

   private:
    struct Lengths {
        double s12b, m12b;  // distance and reduced length in units of b
    };
    struct Lambda {
        double lam12, dlam12, sig12, eps;
        double ssig1, csig1, ssig2, csig2;
    };

    double a3(double eps) const;
    void c3(double eps, double c[7]) const;
    Lengths lengths(double eps, double sig12, double ssig1, double csig1, double dn1, double ssig2,
                    double csig2, double dn2) const;
    Lambda lambda12(double sbet1, double cbet1, double dn1, double sbet2, double cbet2, double dn2,
                    double salp1, double calp1) const;

    double a_, f_, f1_, e2_, ep2_, n_, b_;
};

// WGS-84 in kilometres.
const GeodesicLine& wgs84_km();

}  // namespace lumoreq::geo
