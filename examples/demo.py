"""A tour of quelbrin.async_: parallel calls in forked children and fork-safe locks."""

import logging


def main():
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")


if __name__ == "__main__":
    main()
