"""Messages the benchmarks share."""


def boarding_pass(rng):
    """A 100-byte bar-coded boarding pass with a random name, booking and seat."""
    name = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(rng.randint(4, 10)))
    given = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(rng.randint(3, 6)))
    booking = "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ23456789") for _ in range(6))
    route = rng.choice(["YULFRAAC", "LHRJFKBA", "CDGNRTAF", "FRAORDLH", "AMSSINKL"])
    text = (f"M1{name}/{given}".ljust(22) + f" E{booking} {route} {rng.randint(1, 9999):04d} "
            f"{rng.randint(1, 366):03d}Y{rng.randint(1, 60):03d}{rng.choice('ABCDEF')}"
            f"{rng.randint(1, 9999):04d} 14D>5180  B1A              2A{rng.randrange(10**10):010d} 1AC")
    return text.encode("ascii").ljust(100, b" ")[:100]
