# SPDX-License-Identifier: LGPL-2.1-or-later
# What the library's sources need, for the normal build and the fuzz build:
# ZODEVICE_DEPENDENCIES names the targets to link them with.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BLKID REQUIRED IMPORTED_TARGET blkid)
pkg_check_modules(DEVMAPPER REQUIRED IMPORTED_TARGET devmapper)
pkg_check_modules(INIH REQUIRED IMPORTED_TARGET inih)
find_package(Boost REQUIRED)
find_package(Threads REQUIRED)
set(ZODEVICE_DEPENDENCIES Boost::headers PkgConfig::BLKID PkgConfig::DEVMAPPER PkgConfig::INIH
    Threads::Threads)
