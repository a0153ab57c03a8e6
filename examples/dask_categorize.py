"""Categorize a partitioned data set too large for one process, on a Dask cluster.

    pip install "morvanta[examples]"    # dask[dataframe,distributed], pandas
    python examples/dask_categorize.py --data DIR --out DIR [--generate ROWS --partitions N] [--workers 2]

morvanta holds the interpreter lock while it works, so threads in one
process take turns; the way past one core is more processes. Dask runs
`categorize_partition` on each partition in worker processes, one
categorize_transactions call per partition, and writes the categorized
partitions out in the same order. Here the cluster is a LocalCluster of
worker processes on this machine; pointed at a distributed scheduler
(`Client("tcp://scheduler:8786")`) the same code runs across machines.

--data is a directory of CSV files with a `narration` column, one partition
per file; --generate first fills it with synthetic transactions. Rules are
derived from examples/data/labelled.csv (or --labelled). Output: one CSV per
partition in --out, the input columns plus `category` and `merchant` (empty
where no rule matched).
"""
import argparse
import glob
import os
import random
import re

import dask
import dask.dataframe as dd
import pandas as pd
from dask.distributed import Client, LocalCluster

import morvanta

HERE = os.path.dirname(os.path.abspath(__file__))
LABELLED = os.path.join(HERE, "data", "labelled.csv")
NOISE = ["UPI/PERSON TO PERSON/{n}", "NEFT DR SELF TRANSFER {n}", "POS 4521XXXX CAFÉ DU MONDE, PARIS",
         'POS 4521XXXX "THE BOOK NOOK" LTD', "INTEREST CREDIT Q{q}", "CHQ DEP {n}", "", "SMS CHARGES"]


def categorize_partition(part, rules):
    """One partition in, the same rows with `category` and `merchant` out: one native call."""
    response = morvanta.categorize_transactions({"data": [{"narration": n} for n in part["narration"].tolist()],
                                                 "rules": rules})
    out = part.copy()
    for key in ("category", "merchant"):
        out[key] = pd.Series([m[key] if m else None for m in response["data"]], index=part.index, dtype=object)
    return out


def derive_rules(labelled_csv):
    labelled = pd.read_csv(labelled_csv, dtype=str, keep_default_na=False)
    request = {"data": labelled[["narration", "category", "merchant"]].to_dict("records")}
    return morvanta.derive_rules(request)["rules"]


def generate(directory, rows, partitions, seed=20241108):
    """Write `rows` synthetic transactions as `partitions` CSV files (part-00000.csv, ...)."""
    rng = random.Random(seed)
    templates = pd.read_csv(LABELLED, dtype=str, keep_default_na=False)["narration"].tolist()
    os.makedirs(directory, exist_ok=True)
    per_file, extra = divmod(rows, partitions)
    serial = 0
    for p in range(partitions):
        narrations = []
        for _ in range(per_file + (p < extra)):
            if rng.random() < 0.8:
                text = re.sub(r"\d", lambda _m: str(rng.randrange(10)), rng.choice(templates))
                if rng.random() < 0.3:
                    text = text.lower()
            else:
                text = rng.choice(NOISE).format(n=rng.randrange(10**6), q=rng.randrange(1, 5))
            narrations.append(text)
        frame = pd.DataFrame({"id": range(serial, serial + len(narrations)), "narration": narrations})
        frame.to_csv(os.path.join(directory, f"part-{p:05d}.csv"), index=False)
        serial += len(narrations)


def run(data, out, rules, workers):
    """Categorize every partition of `data` on a local cluster; returns rows per category."""
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        print(f"cluster: {len(client.scheduler_info()['workers'])} worker processes")
        # One partition per file (blocksize=None), every column read as text, empty stays "".
        frame = dd.read_csv(os.path.join(data, "*.csv"), blocksize=None, dtype=str, keep_default_na=False)
        meta = pd.DataFrame({name: pd.Series(dtype=dtype) for name, dtype in frame.dtypes.items()})
        meta["category"] = pd.Series(dtype=object)
        meta["merchant"] = pd.Series(dtype=object)
        # The rules travel once per worker as a task result, not once per partition in the graph.
        shared_rules = dask.delayed(rules, pure=True)
        categorized = frame.map_partitions(categorize_partition, shared_rules, meta=meta)
        os.makedirs(out, exist_ok=True)
        categorized.to_csv(os.path.join(out, "part-*.csv"), index=False, name_function=lambda i: f"{i:05d}")
        print(f"partitions: {frame.npartitions}")
        # A summary from the written files: only their category column is read back.
        written = dd.read_csv(os.path.join(out, "*.csv"), blocksize=None, usecols=["category"], dtype=str,
                              keep_default_na=False)
        counts = written["category"].replace("", "(uncategorized)").value_counts(split_out=1).compute()
        return counts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", required=True, help="directory of CSV partitions with a narration column")
    parser.add_argument("--out", required=True, help="directory for the categorized partitions")
    parser.add_argument("--generate", type=int, metavar="ROWS", help="first write ROWS synthetic transactions")
    parser.add_argument("--partitions", type=int, default=8, help="files to spread generated rows over")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--labelled", default=LABELLED, help="labelled CSV to derive the rules from")
    args = parser.parse_args(argv)

    if args.generate:
        generate(args.data, args.generate, args.partitions)
    if not glob.glob(os.path.join(args.data, "*.csv")):
        parser.error(f"no CSV files in {args.data} (use --generate ROWS to make some)")
    rules = derive_rules(args.labelled)
    print(f"rules: {len(rules)} derived from {args.labelled}")
    counts = run(args.data, args.out, rules, args.workers)
    total = int(counts.sum())
    print(f"rows: {total}, categorized: {total - int(counts.get('(uncategorized)', 0))}")
    for category, n in counts.items():
        print(f"  {category:<20} {n:>10,}")
    print(f"written to {args.out}")


if __name__ == "__main__":
    main()
