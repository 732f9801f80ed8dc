"""The tests' chromium driver (tests/support/browser/driver.js), from Python:
each run() is the body of an async function in node (see driver.js), its
return value comes back as JSON."""
import json
import os
import queue
import subprocess
import threading


class Browser:
    def __init__(self, driver_dir, spawn):
        self.proc = spawn(["node", os.path.join(driver_dir, "driver.js")], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        self.answers, self.stderr, self.last_id = queue.Queue(), [], 0
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=lambda: self.stderr.extend(self.proc.stderr), daemon=True).start()
        ready = self._next(60)
        if not ready.get("ready"):
            raise RuntimeError(f"the browser did not start: {ready.get('error')} "
                               f"{''.join(self.stderr[-5:])}")
        self.version = ready.get("version")

    def _read(self):
        for line in self.proc.stdout:
            try:
                self.answers.put(json.loads(line))
            except ValueError:
                pass
        self.answers.put({})

    def _next(self, seconds):
        try:
            return self.answers.get(timeout=seconds)
        except queue.Empty:
            return {}

    def run(self, js, timeout_s=30, **args):
        self.last_id += 1
        request = {"id": self.last_id, "js": js, "args": args, "timeout_ms": int(timeout_s * 1000)}
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        while True:
            answer = self._next(timeout_s + 10)
            if not answer or answer.get("id") == self.last_id:
                break
        if not answer.get("ok"):
            raise RuntimeError(f"browser: {answer.get('error', 'no answer')} "
                               f"{''.join(self.stderr[-5:])}")
        return answer.get("value")

    def close(self):
        """At once, even in the middle of a request: the driver ends chromium on SIGTERM."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
