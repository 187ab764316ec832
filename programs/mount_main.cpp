// rux-mount: resource files as one read-only file system, through FUSE.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "mount/fs.h"
#include "mount/loop.h"
#include "mount/push.h"
#include "mount/tree.h"
#include "resource/set.h"
#include "programs/cli.h"
#include "common/print.h"

using namespace rux;

namespace {

const char USAGE[] =
    "Usage: rux-mount [OPTIONS] FILE.rux [FILE.rux ...] MOUNTPOINT\n"
    "\n"
    "Mounts the resource files, read-only, as one tree of directories and\n"
    "files at MOUNTPOINT, which must be an empty directory: the tree that\n"
    "rux-extract writes. Where names meet, the file given first wins. Names\n"
    "are found whatever their ASCII case. Returns once the mount is ready;\n"
    "unmount with fusermount3 -u MOUNTPOINT.\n"
    "\n"
    "  -f                  stay in the foreground until unmounted, or until\n"
    "                      SIGINT, SIGTERM or SIGHUP, which unmount\n"
    "  -d                  print every request (implies -f)\n"
    "  -s                  serve requests on one thread\n"
    "  -o OPT[,OPT...]     mount options: allow_other, umask=M (modes\n"
    "                      0777 & ~M; default files 0444, directories\n"
    "                      0555), uid=N, gid=N (default: who mounts), and\n"
    "                      the other options of FUSE\n"
    "  -h, --help          print this and exit\n"
    "  -V, --version       print the version and exit\n"
    "\n"
    "Up to 16 resource files. Every name that rux-extract refuses is left\n"
    "out, with its refusal on standard error, and so is a resource whose\n"
    "path other resources make a directory. The exit status is 0 only when\n"
    "the files were mounted and, with -f, unmounted again.\n";

const char PROGRAM[] = "rux-mount";

// Threads that serve requests at most, for a max_threads out of range.
constexpr int DEFAULT_THREADS = 10;

int BadUsage(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
    PrintTryHelp(stderr, PROGRAM);
    return 1;
}

// The options of ours among -o's.
struct OwnOptions {
    int umaskGiven = 0;
    unsigned umask = 0;
    int uidGiven = 0;
    unsigned uid = 0;
    int gidGiven = 0;
    unsigned gid = 0;
    std::string bad;  // a value that does not parse
};

int TakeOwnOption(void* data, const char* arg, int, struct fuse_args*) {
    OwnOptions& own = *static_cast<OwnOptions*>(data);
    struct Known {
        const char* prefix;
        int base;
        int* given;
        unsigned* value;
    };
    const Known known[] = {{"umask=", 8, &own.umaskGiven, &own.umask},
                           {"uid=", 10, &own.uidGiven, &own.uid},
                           {"gid=", 10, &own.gidGiven, &own.gid}};
    for (const Known& k : known) {
        const std::size_t length = std::strlen(k.prefix);
        if (std::strncmp(arg, k.prefix, length) != 0) continue;
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(arg + length, &end, k.base);
        if (arg[length] == '\0' || *end != '\0' || errno != 0 || value > 0xFFFFFFFEul ||
            (k.base == 8 && value > 0777)) {
            if (own.bad.empty()) own.bad = arg;
        }
        *k.given = 1;
        *k.value = static_cast<unsigned>(value);
        return 0;
    }
    return 1;
}

// The device ("MAJOR:MINOR") of the last file system mounted at path, as
// /proc/self/mountinfo lists it; "" when nothing is mounted there.
std::string MountedDevice(const char* path) {
    char resolved[PATH_MAX];
    if (!realpath(path, resolved)) return "";
    // /proc/self/mountinfo: "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ...",
    // with spaces, tabs, newlines and backslashes in octal escapes.
    std::string wanted;
    for (const char* c = resolved; *c; ++c) {
        if (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", static_cast<unsigned char>(*c));
            wanted += escape;
        } else {
            wanted += *c;
        }
    }
    FILE* mounts = std::fopen("/proc/self/mountinfo", "r");
    if (!mounts) return "";
    std::string device;
    char line[8192];
    while (std::fgets(line, sizeof line, mounts)) {
        char number[64], point[4096];
        if (std::sscanf(line, "%*s %*s %63s %*s %4095s", number, point) == 2 && wanted == point) device = number;
    }
    std::fclose(mounts);
    return device;
}

// Why the mount point cannot take the mount; "" if it can. A mount point
// with a tree of its own there is in use; an empty one (a bind mount of a
// container, say) takes a mount over it, as with every FUSE tool.
std::string MountPointProblem(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
    DIR* dir = opendir(path);
    if (!dir) return std::strerror(errno);
    std::string problem;
    while (const struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            problem = "not empty";
            break;
        }
    }
    closedir(dir);
    if (!problem.empty() && !MountedDevice(path).empty()) problem = "already a mount point";
    return problem;
}

// fsname's value with the separators of -o escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// The kernel reads ahead of a sequential reader by 128 KiB unless told
// otherwise, in requests of that size. Where it may (as root), the mount
// asks for 1 MiB, so that one request keeps a thread busy for long enough
// to pay for the round trip, and the kernel asks for the next while the
// last is being inflated. The setting is the mount's own and ends with it;
// where it cannot be made, nothing changes but the request size.
void WidenReadahead(const std::string& mountPoint) {
    const std::string device = MountedDevice(mountPoint.c_str());
    if (device.empty()) return;
    FILE* setting = std::fopen(("/sys/class/bdi/" + device + "/read_ahead_kb").c_str(), "w");
    if (!setting) return;
    std::fputs("1024\n", setting);
    std::fclose(setting);
}

}  // namespace

int main(int argc, char** argv) {
    // Our own words first: FILE... MOUNTPOINT, and the options for FUSE.
    std::vector<std::string> files;
    std::vector<char*> fuseArgs = {argv[0]};
    std::string mountPoint;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
            positional.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-V") == 0) {
            AnswerInfoOption(arg[1] == 'h' ? "--help" : "--version", USAGE, 0);
            return 0;
        }
        if (AnswerInfoOption(arg, USAGE, 0)) return 0;
        fuseArgs.push_back(arg);
        if (std::strcmp(arg, "-o") == 0) {
            if (i + 1 >= argc) return BadUsage("option -o needs a value");
            fuseArgs.push_back(argv[++i]);
        }
    }
    if (positional.size() < 2) return BadUsage("needs FILE.rux and MOUNTPOINT");
    if (positional.size() > static_cast<std::size_t>(MOUNT_SLOTS) + 1) {
        return BadUsage("at most " + std::to_string(MOUNT_SLOTS) + " resource files");
    }
    mountPoint = positional.back();
    positional.pop_back();
    files = positional;

    struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(fuseArgs.size()), fuseArgs.data());
    OwnOptions own;
    // Only "-o" values reach the handler as options; everything else stays.
    const struct fuse_opt ownSpec[] = {FUSE_OPT_KEY("umask=", FUSE_OPT_KEY_OPT), FUSE_OPT_KEY("uid=", FUSE_OPT_KEY_OPT),
                                       FUSE_OPT_KEY("gid=", FUSE_OPT_KEY_OPT), FUSE_OPT_END};
    if (fuse_opt_parse(&args, &own, ownSpec, TakeOwnOption) != 0) return 1;
    if (!own.bad.empty()) {
        fuse_opt_free_args(&args);
        return BadUsage("bad mount option " + own.bad);
    }
    // FUSE's parser checks the mount point too, in words of its own.
    const std::string early = MountPointProblem(mountPoint.c_str());
    if (!early.empty()) {
        std::fprintf(stderr, "%s: cannot mount at %s: %s\n", PROGRAM, EscapedName(mountPoint.c_str()).c_str(),
                     early.c_str());
        fuse_opt_free_args(&args);
        return 1;
    }
    // The mount point goes last, for FUSE's own parser.
    fuse_opt_add_arg(&args, "--");
    fuse_opt_add_arg(&args, mountPoint.c_str());
    struct fuse_cmdline_opts line;
    std::memset(&line, 0, sizeof line);
    if (fuse_parse_cmdline(&args, &line) != 0) {
        fuse_opt_free_args(&args);
        return 1;
    }

    // The files, as absolute paths: the daemon works from "/".
    ResourceSet set;
    MountSettings settings;
    settings.uid = own.uidGiven ? own.uid : getuid();
    settings.gid = own.gidGiven ? own.gid : getgid();
    if (own.umaskGiven) settings.fileMode = settings.directoryMode = 0777 & ~own.umask;
    int status = 1;
    for (const std::string& file : files) {
        std::error_code ec;
        const std::string absolute = std::filesystem::absolute(file, ec).string();
        const MountResult mounted = set.Mount(ec ? file.c_str() : absolute.c_str());
        struct stat st;
        if (!mounted.ok() || stat(set.MountPath(mounted.fileSlot), &st) != 0) {
            std::fprintf(stderr, "%s: cannot mount %s: %s\n", PROGRAM, EscapedName(file.c_str()).c_str(),
                         mounted.ok() ? std::strerror(errno) : MountErrorText(mounted).c_str());
            free(line.mountpoint);
            fuse_opt_free_args(&args);
            return 1;
        }
        settings.times[mounted.fileSlot][0] = st.st_atim;
        settings.times[mounted.fileSlot][1] = st.st_mtim;
        settings.times[mounted.fileSlot][2] = st.st_ctim;
    }
    if (set.OpenDataFiles() != 0) {
        std::fprintf(stderr, "%s: cannot open a resource file's data again\n", PROGRAM);
        free(line.mountpoint);
        fuse_opt_free_args(&args);
        return 1;
    }
    MountTree tree;
    std::string messages;
    tree.Build(set, &messages);
    std::fputs(messages.c_str(), stderr);

    const std::string problem = MountPointProblem(mountPoint.c_str());
    std::string device;
    if (problem.empty()) {
        const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            device = std::strerror(errno);
        } else {
            close(fd);
        }
    }
    if (!problem.empty() || !device.empty()) {
        if (!problem.empty()) {
            std::fprintf(stderr, "%s: cannot mount at %s: %s\n", PROGRAM, EscapedName(mountPoint.c_str()).c_str(),
                         problem.c_str());
        } else {
            std::fprintf(stderr, "%s: cannot mount at %s: no FUSE device: /dev/fuse: %s\n", PROGRAM,
                         EscapedName(mountPoint.c_str()).c_str(), device.c_str());
        }
        free(line.mountpoint);
        fuse_opt_free_args(&args);
        return 1;
    }

    // Read-only to the kernel too, which refuses most writes itself; the
    // kernel checks the modes; and mount(8) names the first file.
    fuse_opt_add_arg(&args, "-oro,default_permissions,subtype=rux");
    fuse_opt_add_arg(&args, ("-ofsname=" + Escaped(set.MountPath(0))).c_str());
    MountFs fs(set, tree, settings);
    struct fuse_session* session = fuse_session_new(&args, &MountFs::Operations(), sizeof(struct fuse_lowlevel_ops), &fs);
    if (!session) {
        std::fprintf(stderr, "%s: cannot mount at %s: bad options\n", PROGRAM, EscapedName(line.mountpoint).c_str());
    } else if (fuse_set_signal_handlers(session) != 0) {
        std::fprintf(stderr, "%s: cannot set signal handlers\n", PROGRAM);
    } else {
        if (fuse_session_mount(session, line.mountpoint) != 0) {
            std::fprintf(stderr, "%s: cannot mount at %s: the kernel refused the mount\n", PROGRAM,
                         EscapedName(line.mountpoint).c_str());
        } else if (fuse_daemonize(line.foreground) != 0) {
            fuse_session_unmount(session);
        } else {
            // -s: one thread; else up to -o max_threads= (FUSE's parser
            // gives its default when the option is not given).
            const int threads = line.singlethread ? 1
                                : line.max_threads > 0 && line.max_threads <= 100000
                                    ? static_cast<int>(line.max_threads)
                                    : DEFAULT_THREADS;
            const std::string point = line.mountpoint;
            MountPusher pusher(fs, tree);
            pusher.Start(session);
            fs.SetPusher(&pusher);
            const int served = ServeRequests(session, threads, [&point] { WidenReadahead(point); });
            fs.SetPusher(nullptr);
            pusher.Stop();
            // An unmount or a signal ends it: that is how -f ends.
            status = served < 0 ? 1 : 0;
            fuse_session_unmount(session);
        }
        fuse_remove_signal_handlers(session);
    }
    if (session) fuse_session_destroy(session);
    free(line.mountpoint);
    fuse_opt_free_args(&args);
    return status;
}
