"""Writes examples/shop.json.gz, the sample data of the demo.

A made-up online shop: customers with addresses, preferences and orders,
orders with line items and shipping. The output is the same on every run
(fixed seed), so the committed file can be rebuilt and compared:

    python examples/make_sample_data.py
"""

from __future__ import annotations

import datetime as dt
import gzip
import json
import random
from pathlib import Path
from typing import Any

OUTPUT = Path(__file__).with_name("shop.json.gz")
CUSTOMERS = 2500
SEED = 20240501

FIRST = """ada alan barbara chen dana edsger emma fatima grace hedy ivan james joan ken
lin linus margaret mario nadia niklaus olga priya radia rosa sophie tim ursula yukihiro
zainab ahmed bjarne carla dennis elena frances guido hanna ines jose karen leslie""".split()
LAST = """lovelace turing liskov hopper lamarr knuth dijkstra wirth ritchie thompson
hamilton allen perlman stroustrup rossum matsumoto torvalds goldberg kay backus
naur floyd hoare milner lamport rivest shamir adleman diffie hellman""".split()
CITIES = [
    ("Berlin", "DE", "EUR"), ("Hamburg", "DE", "EUR"), ("Munich", "DE", "EUR"),
    ("Paris", "FR", "EUR"), ("Lyon", "FR", "EUR"), ("Madrid", "ES", "EUR"),
    ("Lisbon", "PT", "EUR"), ("Amsterdam", "NL", "EUR"), ("Vienna", "AT", "EUR"),
    ("Zurich", "CH", "CHF"), ("London", "GB", "GBP"), ("Manchester", "GB", "GBP"),
    ("Dublin", "IE", "EUR"), ("Oslo", "NO", "NOK"), ("Stockholm", "SE", "SEK"),
    ("Copenhagen", "DK", "DKK"), ("Warsaw", "PL", "PLN"), ("Prague", "CZ", "CZK"),
    ("New York", "US", "USD"), ("Austin", "US", "USD"), ("Toronto", "CA", "CAD"),
    ("Tokyo", "JP", "JPY"), ("Sydney", "AU", "AUD"), ("São Paulo", "BR", "BRL"),
]
STREETS = """Main Street|Station Road|Church Lane|Mill Road|Park Avenue|High Street|
Schillerstraße|Rue de la Paix|Calle Mayor|Kungsgatan|Łąkowa|Via Roma|Hauptstraße""".replace("\n", "").split("|")
PRODUCTS = [
    ("KB-101", "Mechanical keyboard", 89.0), ("MS-220", "Wireless mouse", 29.5),
    ("HD-330", "Noise-cancelling headphones", 179.0), ("MN-270", "27-inch monitor", 249.0),
    ("CB-010", "USB-C cable, 2 m", 9.9), ("DK-500", "Docking station", 139.0),
    ("CH-700", "Desk chair", 319.0), ("LP-015", "Laptop stand", 45.0),
    ("WB-900", "Webcam 1080p", 59.0), ("SP-120", "Bluetooth speaker", 74.5),
    ("NB-004", "Notebook, dotted, A5", 12.0), ("PN-002", "Fountain pen", 24.0),
    ("MG-330", "Coffee mug", 14.5), ("BP-800", "Backpack, 20 l", 95.0),
    ("LT-600", "Desk lamp", 39.0), ("SS-256", "Portable SSD 1 TB", 109.0),
]
STATUSES = ["delivered"] * 8 + ["shipped", "processing", "cancelled", "returned"]
SHIPPING = [("standard", 4.9), ("express", 12.9), ("pickup", 0.0)]
TAGS = ["vip", "newsletter", "b2b", "student", "gift-buyer", "returns-often", "early-adopter"]
LANGUAGES = ["de", "en", "fr", "es", "pt", "nl", "sv", "ja"]
START = dt.datetime(2019, 1, 1, tzinfo=dt.timezone.utc)


def timestamp(rng: random.Random, after: dt.datetime, days: int) -> dt.datetime:
    return after + dt.timedelta(seconds=rng.randrange(days * 86400))


def order(rng: random.Random, number: int, currency: str, joined: dt.datetime) -> dict[str, Any]:
    items = []
    for product in rng.sample(PRODUCTS, rng.choice([1, 1, 1, 2, 2, 3, 4])):
        sku, name, price = product
        items.append({"sku": sku, "name": name, "qty": rng.choice([1, 1, 1, 2, 3]), "unit_price": price})
    method, cost = rng.choice(SHIPPING)
    status = rng.choice(STATUSES)
    subtotal = sum(item["qty"] * item["unit_price"] for item in items)
    return {
        "order_id": f"O-{number:07d}",
        "placed_at": timestamp(rng, joined, 900).isoformat(),
        "status": status,
        "currency": currency,
        "items": items,
        "total": round(subtotal + cost, 2),
        "shipping": {
            "method": method,
            "cost": cost,
            "tracking": None if method == "pickup" or status == "processing" else f"TRK{rng.randrange(10**9):09d}",
        },
        "gift": rng.random() < 0.07,
    }


def customer(rng: random.Random, number: int, next_order: list[int]) -> dict[str, Any]:
    first, last = rng.choice(FIRST), rng.choice(LAST)
    city, country, currency = rng.choice(CITIES)
    joined = timestamp(rng, START, 1500)
    orders = []
    for _ in range(rng.choice([0, 1, 1, 2, 2, 3, 4, 6])):
        next_order[0] += 1
        orders.append(order(rng, next_order[0], currency, joined))
    return {
        "id": number,
        "name": f"{first.capitalize()} {last.capitalize()}",
        "email": f"{first}.{last}{number}@example.com",
        "joined": joined.isoformat(),
        "active": rng.random() < 0.85,
        "tier": rng.choice(["bronze", "bronze", "bronze", "silver", "silver", "gold"]),
        "address": {
            "street": f"{rng.choice(STREETS)} {rng.randrange(1, 200)}",
            "postcode": f"{rng.randrange(10000, 99999)}",
            "city": city,
            "country": country,
        },
        "preferences": {
            "language": rng.choice(LANGUAGES),
            "newsletter": rng.random() < 0.4,
            "dark_mode": rng.random() < 0.5,
        },
        "tags": rng.sample(TAGS, rng.choice([0, 0, 1, 1, 2])),
        "rating": round(rng.uniform(1, 5), 1) if rng.random() < 0.6 else None,
        "orders": orders,
    }


def build() -> dict[str, Any]:
    rng = random.Random(SEED)
    next_order = [0]
    customers = [customer(rng, i, next_order) for i in range(CUSTOMERS)]
    return {
        "shop": "Example Hardware & Co.",
        "exported_at": "2024-05-01T06:00:00+00:00",
        "schema_version": 3,
        "customers": customers,
    }


def main() -> None:
    text = json.dumps(build(), ensure_ascii=False, indent=1).encode()
    OUTPUT.write_bytes(gzip.compress(text, compresslevel=9, mtime=0))
    print(f"wrote {OUTPUT.name}: {len(text):,} bytes of JSON, {OUTPUT.stat().st_size:,} gzipped")


if __name__ == "__main__":
    main()
