"""Two pseudo-terminals joined like a null-modem cable, for the Python tests
and scripts that put powersim on one end and smdgw on the other."""

import os
import select
import threading
import tty


class PtyPair:
    """Bytes written to one end's slave come out of the other's."""

    def __init__(self):
        self.ends = []
        for _ in range(2):
            master, slave = os.openpty()
            tty.setraw(slave)
            self.ends.append((master, slave, os.ttyname(slave)))
        self.stop = False
        self.thread = threading.Thread(target=self.relay, daemon=True)
        self.thread.start()

    def name(self, k):
        return self.ends[k][2]

    def relay(self):
        a, b = self.ends[0][0], self.ends[1][0]
        while not self.stop:
            ready, _, _ = select.select([a, b], [], [], 0.1)
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    continue
                os.write(b if fd == a else a, data)

    def close(self):
        self.stop = True
        self.thread.join()
        for master, slave, _ in self.ends:
            os.close(master)
            os.close(slave)
