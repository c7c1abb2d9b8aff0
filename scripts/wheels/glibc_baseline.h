// Force-included into every translation unit of a wheel build (see
// scripts/wheels/build-one.sh), never into a source build.
//
// A wheel is linked against the build machine's glibc, and the linker records
// the newest version of each glibc function it finds there. glibc 2.34 moved
// the pthread functions into libc.so.6 under a new version, GLIBC_2.34, and
// kept the old one beside it, so a plain build on a newer glibc refuses to load
// on glibc 2.28 although the function is the same. Binding each such reference
// to its older version keeps the wheel loadable on glibc 2.28 and later; the
// build script checks the result with `auditwheel show`, which names any
// symbol newer than manylinux_2_28 allows.
#pragma once

__asm__(".symver pthread_once, pthread_once@GLIBC_2.2.5");
