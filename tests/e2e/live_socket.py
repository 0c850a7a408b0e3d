"""Options of a live TCP socket of another process, read from outside.

What a program asked for and what its platform kept can differ (Wine has
accepted socket options and then not kept them), so tests read the option off
the Linux socket itself: the connection is found by its remote port in the
namespace's /proc/net/tcp, the process holding it by the socket's inode among
/proc/*/fd, and a copy of its descriptor is taken with pidfd_getfd(2) (needs
root, Linux 5.6 or later), on which getsockopt is asked. Under Wine any
process that holds the socket answers for it: the program's own process or
the wineserver, since both hold the same open socket.
"""

import ctypes
import os
import socket
import subprocess

_SYS_PIDFD_OPEN = 434
_SYS_PIDFD_GETFD = 438
_libc = ctypes.CDLL(None, use_errno=True)
_ESTABLISHED = "01"
_SYN_SENT = "02"


def connection_inodes(netns, port, state=_ESTABLISHED, local=False):
    """Inodes of the TCP sockets to port (local: from port) in netns that
    are in state (as /proc/net/tcp writes it: established by default)."""
    table = subprocess.run(["ip", "netns", "exec", netns, "cat", "/proc/net/tcp"], stdout=subprocess.PIPE,
                           check=True, timeout=10).stdout.decode()
    rows = table.splitlines()[1:]
    inodes = []
    for row in rows:
        fields = row.split()
        if fields[3] == state and int(fields[1 if local else 2].split(":")[1], 16) == port:
            inodes.append(int(fields[9]))
    return inodes


def connecting(netns, remote_port):
    """How many connections to remote_port in netns wait for their answer
    (SYN sent)."""
    return len(connection_inodes(netns, remote_port, _SYN_SENT))


def _holder(inode):
    """(pid, fd) of a process holding socket inode, or None."""
    target = "socket:[%d]" % inode
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            for fd in os.listdir("/proc/%s/fd" % pid):
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) == target:
                    return int(pid), int(fd)
        except OSError:
            continue
    return None


def _syscall(number, *args):
    result = _libc.syscall(number, *args)
    if result < 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))
    return result


def tcp_nodelay(netns, port, local=False):
    """Whether TCP_NODELAY is on for the one connection to port (local: the
    one accepted on port) in netns; raises LookupError when there is none.
    (Wine keeps a socket's send time limit in its own server, not on the
    Linux socket: that one shows in what a send does, see the net layer's
    tests under Wine.)"""
    inodes = connection_inodes(netns, port, local=local)
    if len(inodes) != 1:
        raise LookupError("%d connections at port %d in %s" % (len(inodes), port, netns))
    holder = _holder(inodes[0])
    if holder is None:
        raise LookupError("no process holds socket inode %d" % inodes[0])
    pidfd = _syscall(_SYS_PIDFD_OPEN, holder[0], 0)
    try:
        fd = _syscall(_SYS_PIDFD_GETFD, pidfd, holder[1], 0)
    finally:
        os.close(pidfd)
    s = socket.socket(fileno=fd)
    try:
        return s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0
    finally:
        s.close()  # our copy only
