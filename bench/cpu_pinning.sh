# Sourced by the HTTP benches: with PIN=1 (the default) and two or more CPUs, SERVER_CPU and
# CLIENT_CPU prefix commands so the servers run on CPU 1 and the client on CPU 0, and the load
# generator and the server under test do not take time from each other. PIN=0: both empty.
SERVER_CPU=()
CLIENT_CPU=()
if [ "${PIN:-1}" = 1 ] && [ "$(nproc)" -ge 2 ]; then
  SERVER_CPU=(taskset -c 1)
  CLIENT_CPU=(taskset -c 0)
fi
