"""What the browser tests share: a page rendered offline in headless Chromium, and a table's cells."""
import html, re, shutil, subprocess, sys

chromium = shutil.which("chromium") or sys.exit("browser test: no 'chromium' on PATH; tools/build linux installs it")


def render(tmp, page):
    """The DOM after layout. No network: a private network namespace where allowed, else a proxy to nowhere."""
    command = [chromium, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp}/profile",
               "--dump-dom", f"file://{page}"]
    if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode == 0:
        command = ["unshare", "-rn"] + command
    else:
        command += ["--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>"]
    return subprocess.run(command, capture_output=True, text=True, check=True, timeout=90).stdout


def table(dom, name):
    """The body rows of the table with this id, as cell texts."""
    body = re.search(rf'<table id="{name}".*?<tbody>(.*?)</tbody>', dom, re.S).group(1)
    return [[html.unescape(re.sub(r"<[^>]*>", "", c)) for c in re.findall(r"<td[^>]*>(.*?)</td>", r, re.S)]
            for r in re.findall(r"<tr[^>]*>(.*?)</tr>", body, re.S)]
