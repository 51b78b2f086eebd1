// Example C++ host: what put_get.c does, through tessera.hpp. Creates a file
// set with one 1000 x 1000 double matrix, puts 100 columns into it, gets a
// 10 x 10 region back and keeps the set in demo_cpp.tsf. Any refusal throws
// tessera::Error with the status, the routine and the trace codes.
#include <cstdio>
#include <vector>

#include "tessera.hpp"

int main() {
  try {
    // 8192-word records (64 x 64 blocks of doubles), one file set, a few
    // matrices, and a pool of at least 440 buffers.
    tessera::SessionOptions options;
    options.record_length = 8192;
    options.matrices = 4;
    options.blas = true;  // products of double blocks through DGEMM
    tessera::Session session(tessera::Session::bytes_for(options, 440), options);

    // Files are kept when the set goes; FileSet::kill() would delete them.
    auto set = tessera::FileSet::create(session, {"demo_cpp.tsf"});
    const int32_t n = 1000;
    auto a = tessera::Matrix<double>::create(set, "DEMO", n, n);

    // Columns 1..100 from a column-major array with leading dimension n.
    std::vector<double> cols(static_cast<size_t>(n) * 100);
    for (size_t i = 0; i < cols.size(); ++i) cols[i] = static_cast<double>(i);
    a.put(1, 1, n, 100, cols);

    // The 10 x 10 region that starts at row 5, column 7.
    std::vector<double> region(100);
    a.get(5, 7, 10, 10, region);
    std::printf("a(5,7) = %g\n", region[0]);  // 6 * 1000 + 4

    const tessera::MatrixInfo info = a.info();
    std::printf("blocks of %d x %d, hyperblocks of %d x %d blocks, %d buffers\n",
                info.block_order, info.block_order, info.hyperblock_order,
                info.hyperblock_order, session.buffers());
    return 0;  // the matrix is released, the set removed, the area closed
  } catch (const tessera::Error &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
