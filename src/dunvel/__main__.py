"""python -m dunvel: the dunvel command, as the console script runs it."""

from dunvel._command import run

if __name__ == "__main__":
    run("python -m dunvel")
