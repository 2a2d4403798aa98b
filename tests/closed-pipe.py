# tervalo-cli -l with standard output a pipe whose reader has gone (as with
# "| head -1"): the run is not ended by SIGPIPE; it goes on, says that its
# output did not arrive, and exits with 1.
import os, subprocess, sys, tempfile

with tempfile.TemporaryDirectory() as d:
    for name in ("a.dbr", "b.dbr"):
        with open(os.path.join(d, name), "wb") as f:
            f.write(b"b,1\r\na,1\r\n")
    r, w = os.pipe()
    os.close(r)
    # restore_signals (the default) gives the child SIGPIPE's default action.
    run = subprocess.run([sys.argv[1], "-l", d], stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    sorted_ = all(open(os.path.join(d, n), "rb").read() == b"a,1\r\nb,1\r\n" for n in ("a.dbr", "b.dbr"))
    ok = run.returncode == 1 and b"cannot write to standard output" in run.stderr and sorted_
    print("status", run.returncode, "stderr", run.stderr, "sorted", sorted_)
    sys.exit(0 if ok else 1)
