// SPDX-License-Identifier: LGPL-2.1-or-later
// The disks of a host tree: the image of a disk assembled from the regular
// file at its node (its first bytes), the pieces the tree keeps further on
// and zeros up to the size sysfs gives it.
#include "ZoRootedHostInternal.h"

#include "ZoHostInternal.h"

#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace zohost {

namespace {

using Pieces = std::vector<std::pair<uint64_t, std::string>>;

// The size sysfs gives the disk with number dev, at least *bytes, and the
// pieces the tree keeps of it, each raising *bytes to where it ends.
int collectPieces(ZoHost& tree, dev_t dev, uint64_t* bytes, Pieces* pieces) {
    std::string text;
    uint64_t sectors = 0;
    if (tree.readAttr("/sys/dev/block/" + devText(major(dev), minor(dev)) + "/size", &text) == 0 && parseDecimal(text, &sectors) &&
        sectors <= UINT64_MAX / 512)
        *bytes = std::max(*bytes, sectors * 512);
    const std::string dir = diskPiecesDir(major(dev), minor(dev));
    std::vector<std::string> names;
    if (tree.listDir(dir, &names) != 0)
        return 0;
    for (const std::string& n : names) {
        uint64_t offset = 0;
        std::string data;
        if (!parseDecimal(n, &offset))
            return fail(EINVAL);
        if (int rc = tree.readFile(dir + "/" + n, &data))
            return rc;
        if (offset > UINT64_MAX - data.size())
            return fail(EINVAL);
        *bytes = std::max(*bytes, offset + data.size());
        pieces->emplace_back(offset, std::move(data));
    }
    return 0;
}

// Copies the data of a (possibly sparse) file to the same offsets of to,
// skipping its holes.
int copyData(int from, int to, uint64_t size) {
    off_t pos = 0;
    while (static_cast<uint64_t>(pos) < size) {
        off_t data = ::lseek(from, pos, SEEK_DATA);
        if (data < 0)
            return errno == ENXIO ? 0 : errno;  // ENXIO: only a hole is left
        off_t hole = ::lseek(from, data, SEEK_HOLE);
        if (hole < 0)
            return errno;
        std::string chunk;
        for (off_t at = data; at < hole; at += static_cast<off_t>(chunk.size())) {
            if (int rc = preadFd(from, static_cast<uint64_t>(at),
                                 std::min<uint64_t>(1 << 20, static_cast<uint64_t>(hole - at)), &chunk))
                return rc;
            if (chunk.empty())
                break;
            if (::pwrite(to, chunk.data(), chunk.size(), at) != static_cast<ssize_t>(chunk.size()))
                return errno ? errno : fail(EIO);
        }
        pos = hole;
    }
    return 0;
}

// An image in memory of bytes bytes: the file's data, then the pieces.
int assemble(int file, uint64_t fileBytes, uint64_t bytes, const Pieces& pieces, int* image) {
    UniqueFd out(::memfd_create("zohost-disk", MFD_CLOEXEC));
    if (out.fd < 0 || ::ftruncate(out.fd, static_cast<off_t>(bytes)) != 0)
        return errno;
    if (int rc = copyData(file, out.fd, fileBytes))
        return rc;
    for (const auto& p : pieces)
        if (::pwrite(out.fd, p.second.data(), p.second.size(), static_cast<off_t>(p.first)) !=
            static_cast<ssize_t>(p.second.size()))
            return errno ? errno : fail(EIO);
    *image = out.release();
    return 0;
}

}  // namespace

int openDiskImage(ZoHost& tree, const std::string& node, int file, int* image) {
    UniqueFd f(file);
    struct stat st;
    if (::fstat(f.fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return fail(EINVAL);
    const uint64_t fileBytes = static_cast<uint64_t>(st.st_size);
    uint64_t bytes = fileBytes;
    Pieces pieces;
    struct stat nodeSt;
    if (tree.stat(node, &nodeSt) == 0 && S_ISBLK(nodeSt.st_mode))
        if (int rc = collectPieces(tree, nodeSt.st_rdev, &bytes, &pieces))
            return rc;
    if (pieces.empty() && bytes == fileBytes) {
        *image = f.release();
        return 0;
    }
    return assemble(f.fd, fileBytes, bytes, pieces, image);
}

}  // namespace zohost
