#!/usr/bin/env python3
"""deploy/slurm on a Slurm cluster of the test's own (argv[1]: the program): munged, slurmctld and three slurmd
(n1..n3, four GPUs each) on this host, all under one temporary folder. The cluster's TaskProlog gives every task
its node's simulator settings (and the screen's tasks what breaks them), so the batch scripts run as an operator would
submit them; merge.sbatch's draining is also held against a nodes.csv that no real cluster could name."""
import collections, csv, json, os, signal, socket, shutil, stat, subprocess, sys, tempfile, threading, time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SLURM = os.path.join(ROOT, "deploy", "slurm")
PROGRAM = os.path.abspath(sys.argv[1])
BUILD = os.environ.get("TESSMOR_BUILD_DIR", os.path.dirname(PROGRAM))
OPTIONS = ["--sizes", "256", "--trials", "7", "--sample-ms", "10", "--warmup-seconds", "0"]
PATH = os.environ.get("PATH", os.defpath) + ":/usr/sbin:/sbin"  # where Debian puts the daemons
missing = [d for d in ("munged", "slurmctld", "slurmd") if not shutil.which(d, path=PATH)]
if missing:
    print(f"slurm_test: skipped: {', '.join(missing)} not installed (Debian packages slurm-wlm and munge)")
    sys.exit(77)
if os.geteuid() != 0:
    sys.exit("slurm_test: needs root: slurmd starts the jobs, munged runs as the munge user")


def uuid(node, gpu):  # the simulator's 32 hex digits, and the form the program reports
    h = f"7e55b0c4d1e2f30415263748596a{node:02x}{gpu:02x}"
    return h, f"GPU-{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


class Cluster:
    def __init__(self, tmp):
        self.daemons, self.stopping, self.ended = [], False, "no result in 150 s"
        self.env = dict(os.environ, SLURM_CONF=f"{tmp}/slurm.conf", PATH=PATH)
        self.env.pop("LD_LIBRARY_PATH", None)  # only the TaskProlog says where the driver is

    def start(self, argv, ready):
        """Starts a foreground daemon and reads its stderr until a line holds `ready`. A thread drains the rest;
        a daemon that ends before stop() interrupts the main thread (SIGALRM), so the test fails at once."""
        daemon = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True, errors="replace")
        self.daemons.append(daemon)
        said = collections.deque(maxlen=20)
        for line in daemon.stderr:
            said.append(line)
            if ready in line:
                break
        else:
            raise RuntimeError(f"{argv[0]} ended before it was ready:\n{''.join(said)}")

        def drain():
            said.extend(daemon.stderr)
            if not self.stopping:
                self.ended = f"{argv[0]} ended:\n{''.join(said)}"
                signal.pthread_kill(threading.main_thread().ident, signal.SIGALRM)
        threading.Thread(target=drain, daemon=True).start()

    def stop(self):
        self.stopping = True
        for daemon in reversed(self.daemons):
            daemon.terminate()
            try:
                daemon.wait(timeout=15)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()

    def run(self, *argv, check=True):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True)
        if check and done.returncode:
            raise RuntimeError(f"{' '.join(argv)}: exit {done.returncode}\n{done.stdout}{done.stderr}")
        return done

    def drained(self):  # {node: reason} of the drained and draining nodes
        lines = self.run("sinfo", "-h", "-N", "-o", "%N|%T|%E").stdout.splitlines()
        return {node: reason for node, state, reason in (line.split("|", 2) for line in lines) if "drain" in state}


def configure(tmp):
    host = socket.gethostname().split(".")[0]
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(4)]
    ctld_port, *node_ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    munge = f"{tmp}/munge"
    os.makedirs(munge, mode=0o755)  # munged wants its socket's folder open to all
    with open(f"{munge}/key", "wb") as f:
        f.write(os.urandom(128))
    os.chmod(f"{munge}/key", 0o400)
    for path in (munge, f"{munge}/key"):
        shutil.chown(path, "munge", "munge")
    for folder in ("dev", "spool", "case"):
        os.makedirs(f"{tmp}/{folder}")
    for i in range(4):  # the GPUs' device files: Slurm only needs them to exist
        os.mknod(f"{tmp}/dev/nvidia{i}", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    files = {"task_prolog": f'#!/bin/sh\ncat "{tmp}/case/$SLURMD_NODENAME.env"\n'  # the batch scripts' step has no id
             f'[ -z "$SLURM_STEP_ID" ] || exec cat "{tmp}/case/$SLURMD_NODENAME.tasks"\n', "plugstack.conf": "",
             "gres.conf": f"NodeName=n[1-3] Name=gpu File={tmp}/dev/nvidia[0-3]\n"}
    files["slurm.conf"] = f"""ClusterName=tessmor
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={ctld_port}
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket={munge}/socket
CredType=cred/munge
StateSaveLocation={tmp}/state
SlurmdSpoolDir={tmp}/spool/%n
SlurmctldPidFile={tmp}/slurmctld.pid
SlurmdPidFile={tmp}/spool/%n.pid
# Three slurmd with four CPUs each on a host that may have fewer.
SlurmdParameters=config_overrides
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
MpiDefault=none
MailProg=/bin/true
PlugStackConfig={tmp}/plugstack.conf
TaskProlog={tmp}/task_prolog
GresTypes=gpu
""" + "".join(f"NodeName=n{k} NodeHostname={host} NodeAddr=127.0.0.1 Port={port} CPUs=4 Gres=gpu:4\n"
              for k, port in enumerate(node_ports, 1)) + "PartitionName=gpus Nodes=n[1-3] Default=YES State=UP\n"
    for name, text in files.items():
        with open(f"{tmp}/{name}", "w") as f:
            f.write(text)
    os.chmod(f"{tmp}/task_prolog", 0o755)
    return munge


def write_case(cluster, tmp, changes, tasks={}):
    """Every node back in service, and the TaskProlog's exports per node: four simulated GPUs and the program, with
    `changes` {node: {NAME: value}}; `tasks` (None: unset) reach the screen's tasks only, not the batch scripts."""
    for node in cluster.drained():
        cluster.run("scontrol", "update", f"nodename={node}", "state=resume")
    for k in (1, 2, 3):
        env = {"LD_LIBRARY_PATH": f"{BUILD}/sim/cuda:{BUILD}/sim/nvml", "TESSMOR_BENCH": PROGRAM,
               "TESSMOR_SIM_DEVICES": "4", **{f"TESSMOR_SIM_DEVICE{i}_UUID": uuid(k, i)[0] for i in range(4)},
               **changes.get(k, {})}
        for kind, exports in (("env", env), ("tasks", tasks.get(k, {}))):
            with open(f"{tmp}/case/n{k}.{kind}", "w") as f:
                f.writelines(f"unset {name}\n" if value is None else f"export {name}={value}\n"
                             for name, value in exports.items())


def read(path):  # a JSON file's value, a CSV file's rows, another file's text; None when it is missing
    if not os.path.exists(path):
        return None
    with open(path, newline="", encoding="utf-8") as f:
        kind = os.path.splitext(path)[1]
        return json.load(f) if kind == ".json" else list(csv.DictReader(f)) if kind == ".csv" else f.read()


def screen(cluster, tmp, name):
    """Submits screen.sbatch on the three nodes and merge.sbatch --drain after it: the folder, the screen's job id and
    the merge's `sbatch --wait`, still running."""
    folder = f"{tmp}/{name}"
    job = cluster.run("sbatch", "--parsable", "--nodes=3", "--ntasks-per-node=4", f"--output={folder}.out",
                      f"{SLURM}/screen.sbatch", folder, *OPTIONS).stdout.strip()
    merge = subprocess.Popen(["sbatch", "--wait", f"--dependency=afterany:{job}", f"--output={folder}-merge.out",
                              f"{SLURM}/merge.sbatch", folder, "--drain"], env=cluster.env, stdout=subprocess.DEVNULL)
    return folder, job, merge


def verdicts(folder, by="folder"):  # {run folder below runs/, or another column: {(verdict, cause)}} of fleet.csv
    found = {}
    for line in read(f"{folder}/fleet/fleet.csv") or []:
        key = os.path.relpath(line["folder"], f"{folder}/runs") if by == "folder" else line[by]
        found.setdefault(key, set()).add((line["verdict"], line["cause"]))
    return found


def scripts_case(tmp):
    """Without a cluster: merge.sbatch drains only what nodes.csv marks, and only a plain node name that scontrol knows
    (scontrol takes n[1-3] as three nodes), the reason without control bytes; the scripts keep --output and --device."""
    lines = [  # a line of nodes.csv, the `scontrol update` it must give (None: listed only)
        ('n1,fail,drain,"tessmor-bench: fail clock GPU-1, ""x""\x1b[2J"', 'nodename=n1 state=drain reason='
         'tessmor-bench: fail clock GPU-1, "x"[2J'),
        ("n[1-3],fail,drain,tessmor-bench: fail clock GPU-2", None), ("n1 n2,fail,drain,tessmor-bench: fail", None),
        ("n9,fail,drain,tessmor-bench: fail clock GPU-3", None), ("n2,warn,list,", None),
        ('n3,fail,drain,"tessmor-bench: fail\r\nclock GPU-4"\r', "nodename=n3 state=drain reason=tessmor-bench: fail "
         "clock GPU-4")]
    fake = f"{tmp}/fake"
    os.makedirs(f"{tmp}/screen0/runs")
    os.makedirs(fake)
    with open(f"{fake}/nodes.csv", "w", newline="") as f:
        f.write("node,verdict,action,reason\r\n" + "\n".join(line for line, _ in lines) + "\n")
    scripts = {"scontrol": f'case $1 in show) [ "$3" != n9 ];; update) shift; echo "$*" >>{fake}/updates;; esac',
               "tessmor-bench": f'for out do :; done; mkdir "$out" && cp {fake}/nodes.csv "$out" && exit 2'}
    for name, text in scripts.items():
        with open(f"{fake}/{name}", "w") as f:
            f.write(f"#!/bin/sh\n{text}\n")
        os.chmod(f"{fake}/{name}", 0o755)
    env = dict(os.environ, PATH=f"{fake}:{PATH}", TESSMOR_BENCH=f"{fake}/tessmor-bench")
    merge = subprocess.run(["sh", f"{SLURM}/merge.sbatch", f"{tmp}/screen0", "--drain"], env=env, capture_output=True,
                           text=True)
    updates = (read(f"{fake}/updates") or "").splitlines()
    refusals = {(script, option): subprocess.run([f"{SLURM}/{script}", *before, f"{tmp}/refused", "--", option, "1"],
                                                 env=env, capture_output=True).returncode
                for script, before in (("submit", ["--nodes", "1", "--gpus-per-node", "1"]), ("screen.sbatch", []))
                for option in ("--output", "--device")}
    return [(updates == [update for _, update in lines if update], f"case 0: scontrol update {updates}"),
            (merge.returncode == 2 and merge.stdout.count("not drained") == 4,
             f"case 0: merge exit {merge.returncode}\n{merge.stdout}{merge.stderr}"),
            (set(refusals.values()) == {1} and not os.path.exists(f"{tmp}/refused"), f"case 0: refusals {refusals}")]


def screen_case(cluster, tmp):
    """12 GPUs, one cohort: on n2 one 10 % slower at full clock, on n3 one whose SM clock the power cap holds at 1700 MHz."""
    slow, throttled = uuid(2, 2)[1], uuid(3, 1)[1]
    write_case(cluster, tmp, {2: {"TESSMOR_SIM_DEVICE2_TFLOPS": "90", "TESSMOR_SIM_DEVICE2_TFLOPS_FP32": "45"},
                              3: {"TESSMOR_SIM_DEVICE1_CLOCK_DROP": "1:1700", "TESSMOR_SIM_DEVICE1_CLOCK_REASONS": "power_cap"}})
    folder, _, merge = screen(cluster, tmp, "screen1")
    merge.wait()
    results = {(k, i): read(f"{folder}/runs/n{k}/gpu{i}/result.json") for k in (1, 2, 3) for i in range(4)}
    listed = [line for line in (read(f"{folder}/runs/expected.txt") or "").splitlines() if not line.startswith("#")]
    statuses = {run: r and r["status"] for run, r in results.items()}
    # Each node's tasks had its four GPUs, one each; which task had which is Slurm's choice.
    seen = {k: sorted(r["device"]["uuid"] for (n, _), r in results.items() if r and n == k) for k in (1, 2, 3)}
    want = {k: sorted(uuid(k, i)[1] for i in range(4)) for k in (1, 2, 3)}
    found = verdicts(folder, by="uuid")
    expected = {u: {("ok", "")} for gpus in want.values() for u in gpus}
    expected |= {slow: {("fail", "full clock")}, throttled: {("warn", "power cap")}}
    drained = cluster.drained()
    return [(set(statuses.values()) == {"completed"}, f"case 1: run statuses {statuses}"),
            (seen == want, f"case 1: GPUs by node {seen}"),
            (listed == [f"n{k}/gpu{i}" for k in (1, 2, 3) for i in range(4)], f"case 1: expected.txt {listed}"),
            (found == expected, f"case 1: fleet.csv verdicts {found}"),
            (merge.returncode == 2, f"case 1: merge exit {merge.returncode}, not 2\n{read(f'{folder}-merge.out')}"),
            (drained == {"n2": f"tessmor-bench: fail full clock {slow}"}, f"case 1: drained {drained}")]


def no_driver_case(cluster, tmp):
    """Through submit: n1 has no CUDA driver, n3 cannot start the program; the merge still lists every GPU."""
    write_case(cluster, tmp, {1: {"LD_LIBRARY_PATH": f"{BUILD}/sim/nvml"},
                              3: {"TESSMOR_BENCH": f"{tmp}/no-such-program"}})
    screen = f"{tmp}/screen2"
    submit = cluster.run(f"{SLURM}/submit", "--nodes", "3", "--gpus-per-node", "4", "--drain", "--wait", screen,
                         "--", *OPTIONS, check=False)
    errors = {i: (read(f"{screen}/runs/n1/gpu{i}/result.json") or {}).get("error") for i in range(4)}
    evidence = {i: read(f"{screen}/runs/n3/gpu{i}/task-error.txt") or "" for i in range(4)}
    found = {folder: {verdict for verdict, _ in lines} for folder, lines in verdicts(screen).items()}
    expected = {f"n{k}/gpu{i}": {v} for k, v in ((1, "fail"), (2, "ok"), (3, "unreadable")) for i in range(4)}
    drained = cluster.drained()
    return [(set(errors.values()) == {"NVIDIA CUDA driver not found. Install a compatible NVIDIA driver."},
             f"case 2: n1's errors {errors}"),
            (all("exit status 127" in t and "no-such-program" in t for t in evidence.values()),
             f"case 2: n3's task-error.txt {evidence}"),
            (found == expected, f"case 2: fleet.csv verdicts {found}"),
            (submit.returncode == 2, f"case 2: submit exit {submit.returncode}, not 2\n{submit.stdout}{submit.stderr}"),
            (list(drained) == ["n1"] and drained["n1"].startswith("tessmor-bench: fail ")
             and "driver not found" in drained["n1"], f"case 2: drained {drained}")]


FLAGGED = [  # screens that flag GPUs and drain nothing: node settings, the tasks' own, scancel once every run is
    # under way, verdicts of n1..n3, n1's cause. First n1's tasks get no GPU (no GRES binding) and n2's never start (no
    # shell on their PATH); then every run lasts some 16 s and is cancelled.
    ({}, {1: {"CUDA_VISIBLE_DEVICES": None}, 2: {"PATH": "/nowhere"}}, False, ("unreadable", "missing", "ok"),
     "no GPU bound to this task: CUDA_VISIBLE_DEVICES is not set"),
    ({k: {"TESSMOR_SIM_BATCH_DELAY_MS": "1000"} for k in (1, 2, 3)}, {}, True, ("incomplete",) * 3,
     "Cancelled by user")]


def flagged_case(cluster, tmp, number, changes, tasks, cancel, per_node, cause):
    write_case(cluster, tmp, changes, tasks)
    folder, job, merge = screen(cluster, tmp, f"screen{number}")
    documents = [f"{folder}/runs/n{k}/gpu{i}/result.json" for k in (1, 2, 3) for i in range(4)]
    started, deadline = 12, time.monotonic() + 60
    if cancel:
        while not all(map(os.path.exists, documents)) and time.monotonic() < deadline:
            time.sleep(0.1)  # a run writes result.json ("running") as it starts
        started = sum(map(os.path.exists, documents))
        cluster.run("scancel", job)
    merge.wait()
    found = verdicts(folder)
    kinds = {run: {verdict for verdict, _ in lines} for run, lines in found.items()}
    causes = [text for run, lines in found.items() if run.startswith("n1/") for _, text in lines]
    drained = cluster.drained()
    return [(started == 12, f"case {number}: {started} of 12 runs started before scancel"),
            (kinds == {f"n{k}/gpu{i}": {v} for k, v in zip((1, 2, 3), per_node) for i in range(4)}
             and causes and all(cause in text for text in causes), f"case {number}: fleet.csv verdicts {found}"),
            (merge.returncode == 2 and not drained, f"case {number}: merge exit {merge.returncode}, drained {drained}")]


def main():
    tmp = tempfile.mkdtemp(prefix="tessmor-slurm-")
    os.chmod(tmp, 0o755)  # munged (as munge) and the TaskProlog look inside
    cluster, checks = Cluster(tmp), []

    def interrupted(*_):
        raise RuntimeError(cluster.ended)
    # The one deadline: a cluster that never runs the jobs would hang sbatch --wait until ctest kills this
    # process, leaving the daemons behind. The alarm ends the test through the cleanup instead.
    signal.signal(signal.SIGALRM, interrupted)
    signal.alarm(150)
    try:
        munge = configure(tmp)
        cluster.start(["setpriv", "--reuid=munge", "--regid=munge", "--init-groups", "munged", "--foreground",
                       f"--key-file={munge}/key", f"--socket={munge}/socket", f"--pid-file={munge}/pid",
                       f"--seed-file={munge}/seed", f"--log-file={munge}/log"], "work threads")
        cluster.start(["slurmctld", "-D", "-vvv", "-f", f"{tmp}/slurm.conf"], "slurmctld listening on")
        for k in (1, 2, 3):  # started, not yet registered: jobs pend until their nodes are
            cluster.start(["slurmd", "-D", "-N", f"n{k}", "-f", f"{tmp}/slurm.conf"], "slurmd started on")
        checks = scripts_case(tmp)
        checks += screen_case(cluster, tmp) + no_driver_case(cluster, tmp)
        for number, case in enumerate(FLAGGED, 3):
            checks += flagged_case(cluster, tmp, number, *case)
    except RuntimeError as error:  # a daemon or a Slurm command failed, or the deadline passed
        checks = [(False, str(error))]
    finally:
        signal.alarm(0)
        cluster.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    failed = [message for ok, message in checks if not ok]
    sys.exit("slurm_test: " + "\n".join(failed) if failed else 0)


main()
